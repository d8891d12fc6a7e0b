#!/usr/bin/env python3
"""The test server's range, resume, delay and rate routes, against the server the CTest fixture runs.

  http_test_server_test.py --state-dir DIR   (the fixture's state directory)
"""

import argparse
import http.client
import os
import sys
import threading
import time
import unittest
import urllib.parse

STATE_DIR = None
SIZE = 1000
BODY = bytes((i * 7) % 256 for i in range(SIZE))


def server_address():
    with open(os.path.join(STATE_DIR, "server.txt")) as file:
        for line in file:
            if line.startswith("base_url="):
                parts = urllib.parse.urlsplit(line.strip()[len("base_url="):])
                return parts.hostname, parts.port
    raise RuntimeError("no base_url in server.txt")


class Answer:
    def __init__(self, response):
        self.status = response.status
        self.headers = response.headers
        self.cut = False
        try:
            self.body = response.read()
        except http.client.IncompleteRead as partial:
            self.body, self.cut = partial.partial, True


def get(connection, path, range_header=None):
    connection.request("GET", path, headers={"Range": range_header} if range_header else {})
    return Answer(connection.getresponse())


class Routes(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.host, cls.port = server_address()
        cls.name = "routes-%d-%d" % (os.getpid(), time.monotonic_ns())
        directory = os.path.join(STATE_DIR, "root", cls.name)
        os.makedirs(directory)
        with open(os.path.join(directory, "file.bin"), "wb") as file:
            file.write(BODY)
        cls.path = cls.name + "/file.bin"

    def connect(self):
        return http.client.HTTPConnection(self.host, self.port, timeout=30)

    def test_ranges_on_one_kept_alive_connection(self):
        rows = [  # Range header, status, first byte, bytes sent
            (None, 200, 0, SIZE),
            ("bytes=100-", 206, 100, 900),
            ("bytes=100-199", 206, 100, 100),
            ("bytes=990-5000", 206, 990, 10),
            ("bytes=-10", 206, 990, 10),
            ("bytes=999-", 206, 999, 1),
            ("bytes=1000-", 416, None, 0),
            ("bytes=5000-6000", 416, None, 0),
            ("bytes=5-2", 200, 0, SIZE),  # not a valid range: ignored
            ("items=1-2", 200, 0, SIZE),
        ]
        connection = self.connect()
        for header, status, first, count in rows:
            with self.subTest(range=header):
                answer = get(connection, "/" + self.path, header)
                self.assertEqual(answer.status, status)
                if status == 416:
                    self.assertEqual(answer.headers["Content-Range"], "bytes */%d" % SIZE)
                    continue
                self.assertFalse(answer.cut)
                self.assertEqual(answer.body, BODY[first:first + count])
                self.assertEqual(answer.headers["Content-Length"], str(count))
                if status == 206:
                    self.assertEqual(answer.headers["Content-Range"],
                                     "bytes %d-%d/%d" % (first, first + count - 1, SIZE))
                else:
                    self.assertIsNone(answer.headers["Content-Range"])
        connection.close()

    def test_ranges_through_the_query_options(self):
        answer = get(self.connect(), "/%s?rate=100000&chunk=100" % self.path, "bytes=100-")
        self.assertEqual((answer.status, answer.body), (206, BODY[100:]))
        answer = get(self.connect(), "/%s?cut=50" % self.path, "bytes=100-")
        self.assertEqual((answer.status, answer.body, answer.cut), (206, BODY[100:150], True))

    def resume_log(self, run):
        return get(self.connect(), "/_/resume-log/" + run).body.decode().splitlines()

    def test_resume_cuts_at_a_file_offset_and_answers_ranges_as_told(self):
        # Requests are counted per run and path: each run here starts its own count.
        rows = [  # run, options, Range header, status, first byte, bytes sent, cut
            ("a", "cut=600", None, 200, 0, 600, True),
            ("a", "cut=600", "bytes=600-", 206, 600, 400, False),  # only the first request is cut
            ("b", "cut=300,cuts=2", "bytes=100-", 206, 100, 200, True),
            ("b", "cut=300,cuts=2", "bytes=400-", 206, 400, 0, True),  # a range beyond the cut: nothing
            ("b", "cut=300,cuts=2", "bytes=400-", 206, 400, 600, False),
            ("c", "range=ignore", "bytes=600-", 200, 0, SIZE, False),
            ("c", "range=refuse", "bytes=600-", 416, None, 0, False),
            ("c", "range=refuse", None, 200, 0, SIZE, False),
            ("c", "range=honor", "bytes=1000-", 416, None, 0, False),
        ]
        expected_logs = {}
        for run, options, header, status, first, count, cut in rows:
            with self.subTest(options=options, range=header):
                run_id = "%s-%s" % (self.name, run)
                answer = get(self.connect(), "/_/resume/%s,run=%s/%s" % (options, run_id, self.path), header)
                self.assertEqual(answer.status, status)
                if status == 416:
                    self.assertEqual(answer.headers["Content-Range"], "bytes */%d" % SIZE)
                    sent = len(answer.body)
                else:
                    self.assertEqual(answer.body, BODY[first:first + count])
                    self.assertEqual(answer.cut, cut)
                    self.assertEqual(int(answer.headers["Content-Length"]), SIZE - first,
                                     "the whole length is announced, also when cut")
                    sent = count
                expected_logs.setdefault(run_id, []).append("%s %s %d %d" % (self.path, header or "-", status, sent))
        for run_id, lines in expected_logs.items():
            self.assertEqual(self.resume_log(run_id), lines)
        self.assertEqual(self.resume_log(self.name + "-none"), [])

    def test_delay_route_serves_ranges_to_parallel_kept_alive_clients(self):
        started = time.monotonic()
        answer = get(self.connect(), "/_/delay/200/" + self.path, "bytes=10-19")
        self.assertGreaterEqual(time.monotonic() - started, 0.2)
        self.assertEqual((answer.status, answer.body), (206, BODY[10:20]))
        failures = []

        def client(index):
            connection = self.connect()
            for round in range(5):
                first = (index * 5 + round) * 10
                answer = get(connection, "/_/delay/30/" + self.path, "bytes=%d-" % first)
                if (answer.status, answer.body) != (206, BODY[first:]):
                    failures.append((index, round, answer.status))
            connection.close()

        clients = [threading.Thread(target=client, args=(i,)) for i in range(8)]
        for thread in clients:
            thread.start()
        for thread in clients:
            thread.join()
        self.assertEqual(failures, [])

    def test_rate_route_drips_the_file_or_its_range(self):
        # 1000 bytes at 2000 bytes a second, in writes of 100: half a second at the least.
        started = time.monotonic()
        answer = get(self.connect(), "/_/rate/2000/" + self.path)
        self.assertGreaterEqual(time.monotonic() - started, 0.4)
        self.assertEqual((answer.status, answer.body, int(answer.headers["Content-Length"])), (200, BODY, SIZE))
        answer = get(self.connect(), "/_/rate/100000/" + self.path, "bytes=900-")
        self.assertEqual((answer.status, answer.body), (206, BODY[900:]))
        self.assertEqual(answer.headers["Content-Range"], "bytes 900-999/%d" % SIZE)
        self.assertEqual(get(self.connect(), "/_/rate/0/" + self.path).status, 404)


def main():
    global STATE_DIR
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--state-dir", required=True)
    args, rest = parser.parse_known_args()
    STATE_DIR = args.state_dir
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
