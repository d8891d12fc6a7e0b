"""Forward proxies for the tests, started beside the HTTP test server on 127.0.0.1.

A forwarding proxy takes requests in absolute form ("GET http://host:port/path") and tunnels
("CONNECT host:port", for https); a refusing proxy asks every request for credentials it never
accepts (407, with Negotiate and NTLM offered). Both log each request they take as
"<proxy> <method> <target>", readable at /_/proxy-log on either port (origin form).
"""

import http.client
import http.server
import select
import socket
import socketserver
import threading
import urllib.parse

HOP_BY_HOP = {"connection", "keep-alive", "proxy-authenticate", "proxy-authorization", "proxy-connection", "te",
              "trailer", "transfer-encoding", "upgrade"}
RELAY_LIMIT = 300  # seconds a tunnel may stay idle before it is dropped


class ProxyHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "qz4-test-proxy"
    disable_nagle_algorithm = True

    def log_message(self, format, *args):
        pass

    def do_GET(self):
        self.forward()

    def do_HEAD(self):
        self.forward()

    def do_CONNECT(self):
        self.server.log.append("%s CONNECT %s" % (self.server.name, self.path))
        if self.server.refusing:
            return self.refuse()
        host, _, port = self.path.rpartition(":")
        try:
            upstream = socket.create_connection((host.strip("[]"), int(port)), timeout=10)
        except (OSError, ValueError):
            return self.answer(502, "cannot reach %s\n" % self.path)
        self.send_response(200, "Connection established")
        self.end_headers()
        self.wfile.flush()
        self.relay(upstream)
        self.close_connection = True

    def forward(self):
        if self.path.startswith("/"):
            if self.path == "/_/proxy-log":
                return self.answer(200, "".join(line + "\n" for line in list(self.server.log)))
            return self.answer(400, "a proxy takes absolute URLs\n")
        self.server.log.append("%s %s %s" % (self.server.name, self.command, self.path))
        if self.server.refusing:
            return self.refuse()
        target = urllib.parse.urlsplit(self.path)
        if target.scheme != "http" or not target.hostname:
            return self.answer(400, "only http is forwarded\n")
        path = target.path or "/"
        if target.query:
            path += "?" + target.query
        headers = {name: value for name, value in self.headers.items() if name.lower() not in HOP_BY_HOP}
        try:
            upstream = http.client.HTTPConnection(target.hostname, target.port or 80, timeout=30)
            upstream.request(self.command, path, headers=headers)
            response = upstream.getresponse()
        except OSError:
            return self.answer(502, "cannot reach %s\n" % target.netloc)
        try:
            self.send_response(response.status, response.reason)
            for name, value in response.getheaders():
                # send_response wrote the proxy's own Server and Date.
                if name.lower() not in HOP_BY_HOP and name.lower() not in ("server", "date"):
                    self.send_header(name, value)
            self.send_header("Connection", "close")
            self.end_headers()
            while self.command != "HEAD":
                block = response.read(1 << 16)
                if not block:
                    break
                self.wfile.write(block)
        except OSError:
            pass
        finally:
            upstream.close()
            self.close_connection = True

    def refuse(self):
        self.send_response(407)
        self.send_header("Proxy-Authenticate", "Negotiate")
        self.send_header("Proxy-Authenticate", "NTLM")
        self.send_header("Content-Length", "0")
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True

    def answer(self, status, text):
        body = text.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def relay(self, upstream):
        ends = [self.connection, upstream]
        try:
            while True:
                readable, _, _ = select.select(ends, [], [], RELAY_LIMIT)
                if not readable:
                    return
                for end in readable:
                    data = end.recv(1 << 16)
                    if not data:
                        return
                    (upstream if end is self.connection else self.connection).sendall(data)
        except OSError:
            return
        finally:
            upstream.close()


class ProxyServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    block_on_close = False
    request_queue_size = 64

    def __init__(self, name, refusing, log):
        self.name = name
        self.refusing = refusing
        self.log = log  # shared by both proxies; list.append is atomic
        super().__init__(("127.0.0.1", 0), ProxyHandler)


def proxy_servers():
    """("proxy_url", server) and ("refusing_proxy_url", server), sharing one log."""
    log = []
    return [("proxy_url", ProxyServer("forwarding", False, log)),
            ("refusing_proxy_url", ProxyServer("refusing", True, log))]
