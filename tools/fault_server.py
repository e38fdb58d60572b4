#!/usr/bin/env python3
"""An HTTP server that does, on request, what real servers do wrong.

It serves the files of a document root under /files/NAME and generated text under /gen/SIZE,
with ranges, and takes its faults from the query string of each request:

  ignore_range=1   answer a ranged GET with the whole file (200)
  stall=S          wait S seconds before the answer; with stall_at=N, send the headers and the
                   first N bytes of the body, then wait
  trickle=B:T      send the body B bytes at a time, T seconds apart
  close_at=N       announce the full length, send N bytes of the body, then close
  status=CODE      answer with that status and a small error page as the body
  redirect=PATH    answer 302 with that location
  redirect_loop=1  answer 302 with the request's own path and query as the location
  no_length=1      send no Content-Length; the end of the body is the closed connection
  wrong_length=D   announce the length plus D (D may be negative)
  overrun=N        send no Content-Length, and after the body N more bytes before closing
  rate=B           send the body at B bytes a second; first_rate=B instead for a GET whose
                   range starts at byte 0 (or that has no range); like the validators, the pace
                   holds for every request of the file, whatever `on`, `times` and `after` say
  etag=V           send the validator ETag: "V"; last_modified=V sends Last-Modified: V (with
                   every answer of the file, also those past `times`)

  on=KIND          apply the faults only to requests of a kind: head, get, ranged (a GET with
                   Range), plain (a GET without), or all (the default)
  key=K, times=N   count the requests that carry key K and match `on`; only the first N of them
                   get the faults, later ones are served normally
  after=N          with key: the first N matching requests are served normally, later ones get
                   the faults (with times, the N+1th to the N+times-th)
  then_status=CODE with key and times: the matching requests after the faulty ones answer with
                   that status and a small error page instead of normally
  range_start=N    answer a ranged GET with 206 and as many bytes as asked, but from byte N
  etag_change=N:V  with key: from the N+1th request of the key on (whatever `on` says), the
                   ETag is "V" instead of etag's
  alternate=KIND   answer as two origins behind a balancer would, taking turns: the odd-numbered
                   requests (of the key, else of the server) get ETag "a" and one Last-Modified,
                   the even-numbered ones ETag "b" and another. With KIND validators both serve
                   the same bytes; with KIND bytes the second origin's body has every byte
                   inverted, at the same length. Like etag, whatever `on` and `times` say

Every request that carries a key is recorded; GET /_requests?key=K lists them one a line as
"METHOD RANGE" (RANGE is "-" without a Range header), in the order they arrived,
GET /_peak?key=K the most requests of key K that were being answered at one moment, and
GET /_sent?key=K the bytes of body sent so far to the requests of key K (what was handed to the
connection, whether or not the client read it).

Files are read from disk a block at a time, only the part an answer sends, so that several
connections of a large file at a high rate need neither the whole file in memory nor a read of it
for each request.

The server listens on 127.0.0.1 only and ends by itself after --lifetime seconds.
"""

import argparse
import http.server
import os
import socketserver
import sys
import threading
import time
import urllib.parse


class RequestBook:
    """Per-key request counts and logs, shared by the handler threads."""

    def __init__(self):
        self.lock = threading.Lock()
        self.counts = {}
        self.logs = {}
        self.running = {}
        self.peaks = {}
        self.sent = {}
        self.unkeyed = 0

    def record(self, key, line, matches):
        """Logs the request and returns its number among the matching requests of its key."""
        with self.lock:
            self.logs.setdefault(key, []).append(line)
            if not matches:
                return None
            self.counts[key] = self.counts.get(key, 0) + 1
            return self.counts[key]

    def log_of(self, key):
        with self.lock:
            return list(self.logs.get(key, []))

    def enter(self, key):
        with self.lock:
            self.running[key] = self.running.get(key, 0) + 1
            self.peaks[key] = max(self.peaks.get(key, 0), self.running[key])

    def leave(self, key):
        with self.lock:
            self.running[key] -= 1

    def peak_of(self, key):
        with self.lock:
            return self.peaks.get(key, 0)

    def add_sent(self, key, count):
        with self.lock:
            self.sent[key] = self.sent.get(key, 0) + count

    def next_unkeyed(self):
        with self.lock:
            self.unkeyed += 1
            return self.unkeyed

    def sent_of(self, key):
        with self.lock:
            return self.sent.get(key, 0)


class FileContent:
    """A part of a file on disk that slices like bytes without reading it: a slice is another
    part, and the bytes are read only by blocks() as they are sent."""

    BLOCK = 1 << 20

    def __init__(self, path, start=0, length=None):
        self.path = path
        self.start = start
        self.length = os.path.getsize(path) - start if length is None else length

    def __len__(self):
        return self.length

    def __getitem__(self, part):
        if not isinstance(part, slice) or part.step not in (None, 1):
            raise TypeError("FileContent takes only plain slices")
        first, last, _ = part.indices(self.length)
        return FileContent(self.path, self.start + first, max(0, last - first))

    def blocks(self):
        left = self.length
        if left == 0:
            return
        with open(self.path, "rb") as f:
            f.seek(self.start)
            while left > 0:
                block = f.read(min(left, self.BLOCK))
                if not block:
                    raise OSError("%s is shorter than when it was opened" % self.path)
                left -= len(block)
                yield block


def generated_text(size):
    """The body of /gen/SIZE: printable text that shows where each part belongs."""
    line = b"0123456789abcdefghijklmnopqrstuvwxyz-ABCDEFGHIJKLMNOPQRSTUVWXYZ\n"
    whole = line * (size // len(line) + 1)
    return whole[:size]


def parse_range(header, size):
    """Returns (start, end) of a single "bytes=a-b" range, "invalid" for a range the HTTP rules
    say to ignore (such as an inverted one), or "unsatisfiable"."""
    if not header or not header.startswith("bytes=") or "," in header:
        return "invalid"
    first, _, last = header[len("bytes="):].partition("-")
    try:
        if first == "":
            length = int(last)
            if length <= 0:
                return "unsatisfiable"
            return max(0, size - length), size - 1
        start = int(first)
        end = int(last) if last != "" else size - 1
    except ValueError:
        return "invalid"
    if end < start:
        return "invalid"
    if start >= size:
        return "unsatisfiable"
    return start, min(end, size - 1)


# The second origin of `alternate`: its Last-Modified, and its bytes where they differ.
ALTERNATE_MODIFIED = ("Mon, 07 Dec 2026 10:00:00 GMT", "Tue, 08 Dec 2026 11:30:00 GMT")
INVERTED = bytes(255 - b for b in range(256))


class FaultHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "FaultServer"

    def log_message(self, format, *args):
        pass

    def do_HEAD(self):
        self.answer(send_body=False)

    def do_GET(self):
        self.answer(send_body=True)

    def answer(self, send_body):
        url = urllib.parse.urlsplit(self.path)
        key = urllib.parse.parse_qs(url.query).get("key", [None])[-1]
        if url.path.startswith("/_"):
            key = None
        if key is not None:
            self.server.book.enter(key)
        try:
            self.answer_or_raise(send_body)
        except (BrokenPipeError, ConnectionResetError, ConnectionAbortedError):
            self.close_connection = True
        finally:
            if key is not None:
                self.server.book.leave(key)

    def answer_or_raise(self, send_body):
        url = urllib.parse.urlsplit(self.path)
        query = {k: v[-1] for k, v in urllib.parse.parse_qs(url.query).items()}
        range_header = self.headers.get("Range")

        if url.path == "/_requests":
            body = "".join(line + "\n" for line in self.server.book.log_of(query.get("key", "")))
            return self.send_simple(200, body.encode(), send_body)
        if url.path == "/_peak":
            body = "%d\n" % self.server.book.peak_of(query.get("key", ""))
            return self.send_simple(200, body.encode(), send_body)
        if url.path == "/_sent":
            body = "%d\n" % self.server.book.sent_of(query.get("key", ""))
            return self.send_simple(200, body.encode(), send_body)

        kind = "head" if not send_body else ("ranged" if range_header else "plain")
        on = query.get("on", "all")
        matches = on == "all" or on == kind or (on == "get" and kind != "head")
        key = query.get("key")
        faulty = matches
        late = False
        etag = query.get("etag")
        if key is not None:
            line = "%s %s" % (self.command, range_header or "-")
            number = self.server.book.record(key, line, matches)
            times = int(query.get("times", "0"))
            after = int(query.get("after", "0"))
            if number is not None and (number <= after or (times > 0 and number > after + times)):
                faulty = False
            late = number is not None and times > 0 and number > after + times
            if "etag_change" in query:
                changed_after, _, changed_etag = query["etag_change"].partition(":")
                if len(self.server.book.log_of(key)) > int(changed_after):
                    etag = changed_etag
        faults = query if faulty else {}
        origin = 0
        if "alternate" in query:
            number = len(self.server.book.log_of(key)) if key is not None else \
                self.server.book.next_unkeyed()
            origin = 1 - number % 2
        if late and "then_status" in query:
            faults = {"status": query["then_status"]}

        content = self.load(url.path)
        if content is None:
            return self.send_simple(404, b"<html><body>404 Not Found</body></html>\n", send_body)

        if "stall" in faults and "stall_at" not in faults:
            time.sleep(float(faults["stall"]))
        if "redirect" in faults or faults.get("redirect_loop"):
            self.send_response(302)
            self.send_header("Location", faults.get("redirect") or self.path)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        if "status" in faults:
            code = int(faults["status"])
            page = ("<html><body><h1>%d</h1>%s</body></html>\n" % (code, "x" * 200)).encode()
            return self.send_simple(code, page, send_body)

        status = 200
        body = content
        content_range = None
        if range_header and not faults.get("ignore_range"):
            parsed = parse_range(range_header, len(content))
            if parsed == "unsatisfiable":
                self.send_response(416)
                self.send_header("Content-Range", "bytes */%d" % len(content))
                self.send_header("Content-Length", "0")
                self.end_headers()
                return
            if parsed != "invalid":
                start, end = parsed
                if "range_start" in faults:
                    start, end = int(faults["range_start"]), int(faults["range_start"]) + end - start
                    end = min(end, len(content) - 1)
                status = 206
                body = content[start:end + 1]
                content_range = "bytes %d-%d/%d" % (start, end, len(content))

        self.send_response(status)
        self.send_header("Content-Type", "application/octet-stream")
        if content_range:
            self.send_header("Content-Range", content_range)
        self.send_header("Accept-Ranges", "bytes")
        # The file's validators are the file's, not faults: every answer carries them.
        if "alternate" in query:
            etag = "ab"[origin]
            self.send_header("Last-Modified", ALTERNATE_MODIFIED[origin])
        if etag is not None:
            self.send_header("ETag", '"%s"' % etag)
        if "last_modified" in query:
            self.send_header("Last-Modified", query["last_modified"])
        if origin == 1 and query.get("alternate") == "bytes":
            faults = dict(faults, invert=True)
        if faults.get("no_length") or "overrun" in faults:
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            announced = len(body) + int(faults.get("wrong_length", "0"))
            self.send_header("Content-Length", str(max(0, announced)))
        self.end_headers()
        if not send_body:
            return
        # The pace is the line's, not a fault: it holds for every request, also past `times` and
        # before `after`.
        rate = query.get("first_rate") if content_range is None or content_range.startswith(
            "bytes 0-") else None
        rate = rate or query.get("rate")
        if rate:
            faults = dict(faults, pace=int(rate))
        self.send_body(body, faults, key)

    def write_body(self, part, key, invert=False):
        """Writes bytes or a FileContent part of the body, counting it for the request's key;
        with `invert`, every byte inverted."""
        for block in part.blocks() if isinstance(part, FileContent) else (part,):
            if invert:
                block = bytes(block).translate(INVERTED)
            self.wfile.write(block)
            if key is not None:
                self.server.book.add_sent(key, len(block))

    def send_body(self, body, faults, key):
        invert = faults.get("invert", False)
        close_at = int(faults["close_at"]) if "close_at" in faults else None
        if close_at is not None:
            body = body[:close_at]
        stall_at = int(faults["stall_at"]) if "stall_at" in faults and "stall" in faults else None
        if stall_at is not None:
            self.write_body(body[:stall_at], key, invert)
            self.wfile.flush()
            time.sleep(float(faults["stall"]))
            body = body[stall_at:]
        if "pace" in faults:
            # Paced against the clock, so that the time spent writing does not slow it further.
            rate, start, chunk = max(1, faults["pace"]), time.monotonic(), 65536
            for offset in range(0, len(body), chunk):
                self.write_body(body[offset:offset + chunk], key, invert)
                self.wfile.flush()
                due = start + (offset + chunk) / rate - time.monotonic()
                if due > 0:
                    time.sleep(due)
        elif "trickle" in faults:
            chunk, _, pause = faults["trickle"].partition(":")
            chunk, pause = max(1, int(chunk)), float(pause or "1")
            for offset in range(0, len(body), chunk):
                self.write_body(body[offset:offset + chunk], key, invert)
                self.wfile.flush()
                if offset + chunk < len(body):
                    time.sleep(pause)
        else:
            self.write_body(body, key, invert)
        if "overrun" in faults:
            filler = b"\xee" * 65536
            left = int(faults["overrun"])
            while left > 0:
                self.write_body(filler[:left], key)
                left -= len(filler)
        self.wfile.flush()
        if close_at is not None or faults.get("wrong_length"):
            self.close_connection = True

    def send_simple(self, code, body, send_body):
        self.send_response(code)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if send_body:
            self.wfile.write(body)

    def load(self, path):
        if path.startswith("/gen/"):
            try:
                return generated_text(int(path[len("/gen/"):]))
            except ValueError:
                return None
        if path.startswith("/files/"):
            name = urllib.parse.unquote(path[len("/files/"):])
            if "/" in name or name.startswith("."):
                return None
            path = os.path.join(self.server.docroot, name)
            return FileContent(path) if os.path.isfile(path) else None
        return None


class FaultServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64

    def __init__(self, port, docroot):
        super().__init__(("127.0.0.1", port), FaultHandler)
        self.docroot = docroot
        self.book = RequestBook()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--docroot", default=".")
    parser.add_argument("--lifetime", type=float, default=600)
    args = parser.parse_args()
    server = FaultServer(args.port, args.docroot)
    print(server.server_address[1], flush=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    time.sleep(args.lifetime)
    server.shutdown()
    return 0


if __name__ == "__main__":
    sys.exit(main())
