#!/usr/bin/env python3
"""Test report service on 127.0.0.1: answers every POST with the given status and appends the
request (path, headers, body) to a record file. Prints its port on the first line.

usage: report_server.py STATUS RECORD_FILE
"""
import base64
import http.server
import json
import sys


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length) if length > 0 else b""
        with open(self.server.record, "a") as f:
            f.write(json.dumps({"path": self.path, "headers": dict(self.headers.items()),
                                "body": base64.b64encode(body).decode()}) + "\n")
        self.send_response(self.server.status)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"ok")

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
server.status = int(sys.argv[1])
server.record = sys.argv[2]
print(server.server_address[1], flush=True)
server.serve_forever()
