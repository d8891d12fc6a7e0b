#!/usr/bin/env python3
"""A real nginx for the end-to-end tests and the demo, in a folder of its own.

Commands:
  start --state-dir DIR --port P [--tls-dir T --tls-port P2 [--other-name-port P3]]
        [--watch-pid PID] [--max-lifetime S]
      Writes DIR/nginx.conf (nginx serving DIR/www on 127.0.0.1:P; DIR/www is made empty),
      starts nginx under a supervisor that ends it when the watched process (by default the
      caller's parent: ctest, or the shell) goes away, after the maximum lifetime, or on
      `stop`, and returns once the ports answer. DIR/server.txt then holds
      `base_url=http://127.0.0.1:P/`; requests are logged to DIR/access.log, each line
      ending with the scheme and the port it came in on, then the bytes sent (headers included).
      With --tls-port, DIR/www is also served over https on P2, with a certificate for
      localhost issued by the tests' authority in T (made there when missing, see
      tests/support/test_authority.py), and server.txt adds `tls_url=https://localhost:P2/`
      (a host name: Schannel given a CA file matches names, never addresses).
      With --other-name-port, DIR/www-other-name (made empty) is served over https on P3
      with a certificate of the same authority for another name: a host the launcher must
      refuse, with a tree of its own that a launcher taking it anyway would install.
  stop --state-dir DIR
      Ends the nginx that `start` left in DIR.
  supervise ...
      Internal: the supervisor itself.

Never touches the system's nginx configuration, service, logs or temporary folders.
"""

import argparse
import getpass
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import test_authority  # noqa: E402  (found through the line above)

SUPERVISOR_PID = "supervisor.pid"
SERVER_FILE = "server.txt"
STARTUP_LOG = "startup.log"


def tls_server_text(port, tls_dir, certificate, root):
    return """    server {
        listen 127.0.0.1:%d ssl;
        ssl_certificate %s;
        ssl_certificate_key %s;
        root %s;
    }
""" % (port, os.path.join(tls_dir, certificate + ".pem"), os.path.join(tls_dir, certificate + ".key"), root)


def config_text(state_dir, args):
    def path(name):
        return os.path.join(state_dir, name)
    # As root, nginx drops its workers to "nobody", who may not read the build tree.
    user = "user %s;\n" % getpass.getuser() if os.geteuid() == 0 else ""
    temp = "".join("    %s_temp_path %s;\n" % (kind, path("temp/" + kind))
                   for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    servers = ""
    if args.tls_port:
        servers += tls_server_text(args.tls_port, args.tls_dir, "loopback", path("www"))
    if args.other_name_port:
        servers += tls_server_text(args.other_name_port, args.tls_dir, "other-name", path("www-other-name"))
    return """%sworker_processes 1;
pid %s;
error_log %s warn;
events { worker_connections 128; }
http {
    log_format qz4 '$remote_addr - - [$time_local] "$request" $status $body_bytes_sent '
                   '"$http_referer" "$http_user_agent" $scheme $server_port $bytes_sent';
    access_log %s qz4;
%s    default_type application/octet-stream;
    sendfile on;
    keepalive_requests 100000;
    # One session cache for every worker: a launcher's transfers and the next run resume
    # their TLS sessions, as clients of a real host would.
    ssl_session_cache shared:qz4:1m;
    server {
        listen 127.0.0.1:%d;
        root %s;
    }
%s}
""" % (user, path("nginx.pid"), path("error.log"), path("access.log"), temp, args.port, path("www"), servers)


def process_alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False
    except PermissionError:
        return True


def port_answers(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


def remove_quietly(path):
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


def stop(state_dir):
    pid_file = os.path.join(state_dir, SUPERVISOR_PID)
    try:
        with open(pid_file) as file:
            pid = int(file.read().strip())
    except (FileNotFoundError, ValueError):
        return 0
    if process_alive(pid):
        os.kill(pid, signal.SIGTERM)
        deadline = time.monotonic() + 15
        while process_alive(pid) and time.monotonic() < deadline:
            time.sleep(0.02)
    remove_quietly(pid_file)
    remove_quietly(os.path.join(state_dir, SERVER_FILE))
    return 0


def supervise(args):
    state_dir = args.state_dir
    nginx = subprocess.Popen([args.nginx, "-p", state_dir, "-e", os.path.join(state_dir, "error.log"),
                              "-c", os.path.join(state_dir, "nginx.conf"), "-g", "daemon off;"],
                             stdin=subprocess.DEVNULL)
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(True))
    started = time.monotonic()
    while not stopping and nginx.poll() is None:
        if not process_alive(args.watch_pid) or time.monotonic() - started > args.max_lifetime:
            break
        time.sleep(0.1)
    if nginx.poll() is None:
        nginx.terminate()  # fast shutdown: connections are closed at once
        try:
            nginx.wait(timeout=10)
        except subprocess.TimeoutExpired:
            nginx.kill()
            nginx.wait()
    remove_quietly(os.path.join(state_dir, SERVER_FILE))
    return 0


def start(args):
    state_dir = os.path.abspath(args.state_dir)
    stop(state_dir)
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"
    if not os.path.exists(nginx):
        sys.stderr.write("nginx is missing (scripts/install-deps.sh installs nginx-light)\n")
        return 1
    if (args.tls_port or args.other_name_port) and not args.tls_dir:
        sys.stderr.write("--tls-port and --other-name-port need --tls-dir\n")
        return 1
    ports = [port for port in (args.port, args.tls_port, args.other_name_port) if port]
    for port in ports:
        if port_answers(port):
            sys.stderr.write("port %d on 127.0.0.1 is taken; reconfigure to choose another\n" % port)
            return 1
    if args.tls_dir:
        args.tls_dir = os.path.abspath(args.tls_dir)
        test_authority.make(args.tls_dir)
    for folder in ("www", "www-other-name"):
        shutil.rmtree(os.path.join(state_dir, folder), ignore_errors=True)
    for folder in ("www", "www-other-name", "temp"):
        os.makedirs(os.path.join(state_dir, folder), exist_ok=True)
    for log in ("access.log", "error.log"):
        open(os.path.join(state_dir, log), "w").close()
    with open(os.path.join(state_dir, "nginx.conf"), "w") as file:
        file.write(config_text(state_dir, args))

    watched = args.watch_pid or os.getppid()
    with open(os.path.join(state_dir, STARTUP_LOG), "w") as log:
        supervisor = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "supervise", "--state-dir", state_dir, "--nginx", nginx,
             "--watch-pid", str(watched), "--max-lifetime", str(args.max_lifetime)],
            stdin=subprocess.DEVNULL, stdout=log, stderr=log, close_fds=True, start_new_session=True)
    with open(os.path.join(state_dir, SUPERVISOR_PID), "w") as file:
        file.write(str(supervisor.pid))
    deadline = time.monotonic() + 15
    while not all(port_answers(port) for port in ports):
        if supervisor.poll() is not None or time.monotonic() > deadline:
            with open(os.path.join(state_dir, "error.log")) as log:
                sys.stderr.write("nginx did not start:\n" + log.read())
            stop(state_dir)
            return 1
        time.sleep(0.02)
    with open(os.path.join(state_dir, SERVER_FILE), "w") as file:
        file.write("base_url=http://127.0.0.1:%d/\n" % args.port)
        if args.tls_port:
            file.write("tls_url=https://localhost:%d/\n" % args.tls_port)
    sys.stdout.write("nginx serves %s on http://127.0.0.1:%d/ (supervisor %d watches process %d)\n" %
                     (os.path.join(state_dir, "www"), args.port, supervisor.pid, watched))
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    start_parser = commands.add_parser("start")
    start_parser.add_argument("--state-dir", required=True)
    start_parser.add_argument("--port", type=int, required=True)
    start_parser.add_argument("--tls-dir")
    start_parser.add_argument("--tls-port", type=int, default=0)
    start_parser.add_argument("--other-name-port", type=int, default=0)
    start_parser.add_argument("--watch-pid", type=int, default=0)
    start_parser.add_argument("--max-lifetime", type=float, default=3600)
    stop_parser = commands.add_parser("stop")
    stop_parser.add_argument("--state-dir", required=True)
    supervise_parser = commands.add_parser("supervise")
    supervise_parser.add_argument("--state-dir", required=True)
    supervise_parser.add_argument("--nginx", required=True)
    supervise_parser.add_argument("--watch-pid", type=int, required=True)
    supervise_parser.add_argument("--max-lifetime", type=float, required=True)
    args = parser.parse_args()
    if args.command == "start":
        return start(args)
    if args.command == "stop":
        return stop(os.path.abspath(args.state_dir))
    return supervise(args)


if __name__ == "__main__":
    sys.exit(main())
