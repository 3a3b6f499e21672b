#!/usr/bin/python3
"""A throwaway RFC 3161 timestamp server for the packaging tests, on
127.0.0.1 only. Each POSTed query is answered by `openssl ts -reply` with
the TSA section of CONFIG; a query to a path ending in /unavailable gets
503, as from a TSA that is down; one ending in /garbage gets 200 with a
body that is no timestamp; anything else gets 400. It writes the port it
chose to PORT_FILE, and stops by itself after SECONDS or when killed.
    tsa_server.py PORT_FILE CONFIG SECONDS
"""
import http.server
import os
import subprocess
import sys
import tempfile
import threading


class TimestampHandler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        query = self.rfile.read(length) if 0 < length <= 65536 else b""
        if self.path.endswith("/unavailable"):
            self.answer_error(503, "TSA out of service")
            return
        if self.path.endswith("/garbage"):
            self.answer(b"not a timestamp reply")
            return
        with tempfile.TemporaryDirectory() as work:
            query_file = os.path.join(work, "query.tsq")
            reply_file = os.path.join(work, "reply.tsr")
            with open(query_file, "wb") as out:
                out.write(query)
            made = subprocess.run(
                ["openssl", "ts", "-reply", "-config", self.server.config, "-queryfile", query_file,
                 "-out", reply_file],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30, check=False)
            if not query or made.returncode != 0:
                self.answer_error(400, "not a timestamp query")
                return
            with open(reply_file, "rb") as reply:
                body = reply.read()
        self.answer(body)

    def answer(self, body):
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def answer_error(self, code, reason):
        # A client may hang up once it has read the status line.
        try:
            self.send_response(code, reason)
            self.send_header("Content-Length", "0")
            self.end_headers()
        except BrokenPipeError:
            pass

    def log_message(self, *args):
        pass


def main():
    port_file, config, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
    server = http.server.HTTPServer(("127.0.0.1", 0), TimestampHandler)
    server.config = config
    threading.Timer(seconds, server.shutdown).start()
    with open(port_file + ".part", "w") as out:
        out.write(str(server.server_address[1]))
    os.rename(port_file + ".part", port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
