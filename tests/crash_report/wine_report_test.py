#!/usr/bin/env python3
"""Report tests under Wine, checked by independent readers.

crash:  every crash kind of report_probe.exe produces a report: exit code, the archive's
        entries and order (zipfile, unzip -t), the dump's exception stream and lldb's reading,
        system.xml through xmllint, the screenshot a JPEG of the screen's size, the hand-over
        block the uploader receives.
upload: tessivo.exe in silent mode posts to a local server: path, User-Agent, exact
        Content-Length, parts and archive bytes; failure rows are reported as failures.

usage: wine_report_test.py crash|upload WINE_RUN REPORT_PROBE TESSIVO
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

KEY = 0xA7
HERE = os.path.dirname(os.path.abspath(__file__))
failures = []


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what, flush=True)
    if not cond:
        failures.append(what)
    return cond


class Wine:
    def __init__(self, wine_run):
        self.wine_run = wine_run
        self.prefix = os.environ["VOSTRALE_WINEPREFIX"]
        self.run(["cmd", "/c", "exit"])  # makes the prefix when missing
        # No debugger on unhandled faults (the elevated row leaves its fault to the system).
        self.run(["reg", "delete", r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug",
                  "/v", "Debugger", "/f"])
        self.run(["reg", "add", r"HKCU\Software\Wine\WineDbg", "/v", "ShowCrashDialog",
                  "/t", "REG_DWORD", "/d", "0", "/f"])
        users = os.path.join(self.prefix, "drive_c", "users")
        self.user = [u for u in os.listdir(users) if u != "Public"][0]
        self.documents = os.path.join(users, self.user, "Documents")

    def run(self, args, timeout=300):
        return subprocess.run([self.wine_run] + args, capture_output=True, timeout=timeout)

    def winpath(self, path):
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    def use_documents(self, folder):
        # Each case gets a Documents folder of its own.
        if os.path.islink(self.documents) or os.path.isfile(self.documents):
            os.unlink(self.documents)
        elif os.path.isdir(self.documents):
            shutil.rmtree(self.documents)
        os.symlink(folder, self.documents)

    def launch(self, probe, block_file, program, args, timeout=300):
        out = self.run([probe, "launch", block_file, self.winpath(program)] + args, timeout)
        text = out.stdout.decode(errors="replace")
        m = re.search(r"exit=([0-9A-F]{8})", text)
        return (int(m.group(1), 16) if m else None), text + out.stderr.decode(errors="replace")


def unscramble(data):
    return bytes(b ^ KEY for b in data)


def jpeg_size(data):
    """(width, height) from the frame header of a complete baseline JPEG, else None."""
    if data[:2] != b"\xff\xd8" or data[-2:] != b"\xff\xd9":
        return None
    i = 2
    while i + 4 <= len(data):
        if data[i] != 0xFF:
            return None
        marker = data[i + 1]
        length = struct.unpack(">H", data[i + 2:i + 4])[0]
        if marker == 0xC0:
            h, w = struct.unpack(">HH", data[i + 5:i + 9])
            return w, h
        i += 2 + length
    return None


def minidump_exception(dump):
    """(thread id, code, address, first thread id of the thread list) from the streams."""
    sig, _, count, rva = struct.unpack("<4sIII", dump[:16])
    if sig != b"MDMP":
        return None
    exc = threads = None
    for i in range(count):
        stype, size, srva = struct.unpack("<III", dump[rva + 12 * i:rva + 12 * i + 12])
        if stype == 6:
            tid = struct.unpack("<I", dump[srva:srva + 4])[0]
            code, _, _, address = struct.unpack("<IIQQ", dump[srva + 8:srva + 32])
            exc = (tid, code, address)
        elif stype == 3:
            n = struct.unpack("<I", dump[srva:srva + 4])[0]
            threads = struct.unpack("<I", dump[srva + 4:srva + 8])[0] if n else None
    return exc + (threads,) if exc else None


def symbol_at(exe, address):
    nm = subprocess.run(["x86_64-w64-mingw32-nm", "-C", exe], capture_output=True, text=True).stdout
    best = None
    for line in nm.splitlines():
        m = re.match(r"([0-9a-f]+) [tT] (.*)$", line)
        if m and not m.group(2).startswith("."):
            a = int(m.group(1), 16)
            if a <= address and (best is None or a > best[0]):
                best = (a, m.group(2))
    return best[1] if best else ""


def parse_block(data):
    flags = struct.unpack("<I", data[4:8])[0]
    strings = data[8:].split(b"\0")
    return flags, [s.decode("latin-1") for s in strings]


def lldb_reading(dump_path):
    env = dict(os.environ)
    env.pop("PYTHONHOME", None)
    env.pop("PYTHONPATH", None)
    env["PATH"] = "/usr/bin:/bin"
    out = subprocess.run(["lldb", "--batch", "-c", dump_path, "-o", "thread list"],
                         capture_output=True, text=True, timeout=120, env=env)
    return out.stdout + out.stderr


def crash_tests(wine, probe, tessivo):
    screen = (1280, 800)
    kinds = [
        # kind, exit code, exception code in the dump, function that faulted, on another thread
        ("av", 0xC0000005, 0xC0000005, "FaultHere", False),
        ("thread", 0xC0000005, 0xC0000005, "FaultHere", True),
        ("twothreads", 0xC0000005, 0xC0000005, "FaultHere", True),
        ("stack", 0xC00000FD, 0xC00000FD, "chkstk", False),
        ("raise", 0xE0000042, 0xE0000042, None, False),
        ("throw", 3, 0xE0564301, None, False),
        ("abort", 3, 0xE0564302, None, False),
    ]
    for kind, exit_code, code, function, other_thread in kinds:
        print(f"--- crash {kind}", flush=True)
        work = tempfile.mkdtemp(prefix=f"report-{kind}-")
        try:
            docs = os.path.join(work, "docs")
            bindir = os.path.join(work, "bin")
            os.makedirs(os.path.join(docs, "Vostrale"))
            os.makedirs(bindir)
            shutil.copy(probe, os.path.join(bindir, "report_probe.exe"))
            # The uploader beside the program records the block it is started with.
            shutil.copy(probe, os.path.join(bindir, "tessivo.exe"))
            report = os.path.join(docs, "Vostrale")
            log = b"2026-12-11 I mounted x.iso\r\n"
            with open(os.path.join(report, "log.txt"), "wb") as f:
                f.write(log)
            with open(os.path.join(report, "Vostrale.zip"), "wb") as f:
                f.write(b"an old report")
            wine.use_documents(docs)
            got, output = wine.launch(probe, "-", os.path.join(bindir, "report_probe.exe"),
                                      ["crash", kind, "127.0.0.1:9"])
            check(got == exit_code, f"{kind}: exit code {got!r:} is {exit_code:#x}")
            archive = os.path.join(report, "Vostrale.zip")
            if not check(zipfile.is_zipfile(archive), f"{kind}: archive written"):
                print(output)
                continue
            z = zipfile.ZipFile(archive)
            check(z.testzip() is None, f"{kind}: zipfile reads every entry")
            check(subprocess.run(["unzip", "-tq", archive], capture_output=True).returncode == 0,
                  f"{kind}: unzip -t")
            names = z.namelist()
            check(names == ["crash.dmp", "sc1.bin", "log.txt", "regs.txt", "sy.bin"],
                  f"{kind}: entries and order {names}")
            check(all(i.flag_bits & 0x800 for i in z.infolist()), f"{kind}: UTF-8 flag")
            check(sorted(os.listdir(report)) == ["Vostrale.zip", "log.txt"],
                  f"{kind}: capture files removed, log kept: {sorted(os.listdir(report))}")
            if "log.txt" in names:
                check(z.read("log.txt") == log, f"{kind}: log unchanged")
            if "sc1.bin" in names:
                size = jpeg_size(unscramble(z.read("sc1.bin")))
                check(size == screen, f"{kind}: screenshot is a JPEG of the screen {size}")
            if "sy.bin" in names:
                xml = os.path.join(work, "system.xml")
                with open(xml, "wb") as f:
                    f.write(unscramble(z.read("sy.bin")))
                lint = subprocess.run(["xmllint", "--noout", xml], capture_output=True, text=True)
                check(lint.returncode == 0, f"{kind}: xmllint accepts system.xml {lint.stderr}")
            if "crash.dmp" in names:
                dump = z.read("crash.dmp")
                exc = minidump_exception(dump)
                check(exc is not None and exc[1] == code,
                      f"{kind}: dump exception code {exc and hex(exc[1])}")
                if exc and other_thread:
                    check(exc[0] != exc[3], f"{kind}: dump names the faulting thread, not the main one")
                if exc and function:
                    sym = symbol_at(probe, exc[2])
                    check(function in sym, f"{kind}: faulting function {sym!r}")
                    dump_path = os.path.join(work, "crash.dmp")
                    with open(dump_path, "wb") as f:
                        f.write(dump)
                    reading = lldb_reading(dump_path)
                    check(f"stop reason = Exception {code:#x}" in reading,
                          f"{kind}: lldb reads the dump's stop reason")
                if "regs.txt" in names and exc:
                    regs = z.read("regs.txt").decode()
                    check(re.fullmatch(r"RAX=[0-9A-F]{8}\r\nRBX=[0-9A-F]{8}\r\nRCX=[0-9A-F]{8}\r\n"
                                       r"RDX=[0-9A-F]{8}\r\nRSI=[0-9A-F]{8}\r\nRDI=[0-9A-F]{8}\r\n"
                                       r"CS:RIP=[0-9A-F]{4}:[0-9A-F]{8}\r\nSS:ESP=[0-9A-F]{4}:"
                                       r"[0-9A-F]{8}\r\nEBP=[0-9A-F]{8}\r\nDS=[0-9A-F]{4}\r\n"
                                       r"ES=[0-9A-F]{4}\r\nFS=[0-9A-F]{4}\r\nGS=[0-9A-F]{4}\r\n"
                                       r"Flags=[0-9A-F]{8}\r\n", regs) is not None,
                          f"{kind}: register text layout")
                    if function:
                        check(f":{exc[2] & 0xFFFFFFFF:08X}\r\n" in regs, f"{kind}: RIP is the fault address")
            block_file = os.path.join(bindir, "handover.bin")
            for _ in range(60):
                if os.path.exists(block_file):
                    break
                time.sleep(0.5)
            if check(os.path.exists(block_file), f"{kind}: uploader started"):
                with open(block_file, "rb") as f:
                    flags, strings = parse_block(f.read())
                check(flags == 0xB91E0000, f"{kind}: crash mode flags {flags:#x}")
                check(strings[:5] == ["Vostrale", "Vostrale", "report_probe.exe", "127.0.0.1:9",
                                      f"C:\\users\\{wine.user}\\Documents\\Vostrale\\Vostrale.zip"],
                      f"{kind}: block strings {strings[:5]}")
        finally:
            shutil.rmtree(work, ignore_errors=True)

    print("--- crash av-elevated", flush=True)
    work = tempfile.mkdtemp(prefix="report-elevated-")
    try:
        docs = os.path.join(work, "docs")
        os.makedirs(docs)
        wine.use_documents(docs)
        got, _ = wine.launch(probe, "-", probe, ["crash", "av-elevated", "127.0.0.1:9"])
        check(got == 0xC0000005, f"elevated: the fault ends the process {got!r}")
        check(os.listdir(docs) == [], f"elevated: nothing written into Documents {os.listdir(docs)}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


def free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def block_bytes(flags, strings):
    data = b"\0\0\0\0" + struct.pack("<I", flags)
    for s in strings:
        data += s.encode("latin-1") + b"\0"
    return data + b"\0"


def multipart_parts(body):
    """{name: (filename, content type, value)} from a multipart/form-data body, plus the rest."""
    parts = {}
    chunks = body.split(b"--AaB03x")
    if chunks[0] != b"" or chunks[-1] != b"--\r\n":
        return None
    for chunk in chunks[1:-1]:
        if not chunk.startswith(b"\r\n") or not chunk.endswith(b"\r\n"):
            return None
        head, _, value = chunk[2:-2].partition(b"\r\n\r\n")
        lines = head.decode().split("\r\n")
        m = re.match(r'Content-disposition: form-data; name="([^"]+)"(?:; filename="([^"]+)")?$', lines[0])
        if not m:
            return None
        ctype = lines[1] if len(lines) > 1 else None
        parts[m.group(1)] = (m.group(2), ctype, value)
    return parts


def upload_tests(wine, probe, tessivo):
    import json
    work = tempfile.mkdtemp(prefix="report-upload-")
    try:
        bindir = os.path.join(work, "bin")
        os.makedirs(bindir)
        shutil.copy(tessivo, os.path.join(bindir, "tessivo.exe"))
        archive = os.path.join(work, "Vostrale.zip")
        archive_bytes = bytes((i * 7 + 3) % 256 for i in range(2500))
        with open(archive, "wb") as f:
            f.write(archive_bytes)
        # A stored email travels with every report; the key exists, as the tray program's does.
        wine.run(["reg", "add", r"HKCU\Software\VostraleTest", "/v", "email", "/t", "REG_SZ",
                  "/d", "me@example.org", "/f"])
        rows = [
            # name, server status (None: nothing listens), archive path, sent, requests
            ("200", 200, wine.winpath(archive), True, 1),
            ("500", 500, wine.winpath(archive), False, 1),
            ("closed port", None, wine.winpath(archive), False, 0),
            ("missing archive", 200, wine.winpath(os.path.join(work, "gone.zip")), False, 0),
        ]
        for name, status, archive_path, sent, requests in rows:
            print(f"--- upload {name}", flush=True)
            record = os.path.join(work, f"requests-{name.replace(' ', '_')}.jsonl")
            server = None
            if status is None:
                port = free_port()
            else:
                server = subprocess.Popen([sys.executable, os.path.join(HERE, "report_server.py"),
                                           str(status), record], stdout=subprocess.PIPE, text=True)
                port = int(server.stdout.readline())
            try:
                block = os.path.join(work, "block.bin")
                with open(block, "wb") as f:
                    f.write(block_bytes(0xB91E0011, ["Vostrale", "VostraleTest", "tessivo.exe",
                                                     f"127.0.0.1:{port}", archive_path]))
                got, output = wine.launch(probe, wine.winpath(block),
                                          os.path.join(bindir, "tessivo.exe"), [], timeout=200)
            finally:
                if server:
                    server.kill()  # by its process id
                    server.wait()
            check(got == (0 if sent else 2), f"upload {name}: exit code {got!r} ({output.strip()[-200:]})")
            lines = open(record).read().splitlines() if os.path.exists(record) else []
            check(len(lines) == requests, f"upload {name}: {len(lines)} requests reached the server")
            check(os.path.exists(archive), f"upload {name}: archive kept")
            if not lines:
                continue
            req = json.loads(lines[0])
            body = base64_decode(req["body"])
            headers = {k.lower(): v for k, v in req["headers"].items()}
            check(req["path"] == "/tessivo/", f"upload {name}: path {req['path']}")
            check(headers.get("user-agent") == "tessivo", f"upload {name}: user agent {headers.get('user-agent')}")
            check(headers.get("content-type") == "multipart/form-data; boundary=AaB03x",
                  f"upload {name}: content type {headers.get('content-type')}")
            check(headers.get("content-length") == str(len(body)) and len(body) > 2500,
                  f"upload {name}: Content-Length {headers.get('content-length')} is the body's {len(body)}")
            parts = multipart_parts(body)
            if not check(parts is not None, f"upload {name}: body parses as multipart"):
                continue
            check(list(parts) == ["product", "version", "type", "osversion", "osname", "email", "file"],
                  f"upload {name}: parts {list(parts)}")
            check(parts["product"][2] == b"Vostrale" and parts["type"][2] == b"FEEDBACK" and
                  parts["email"][2] == b"me@example.org" and parts["version"][2] == b"100_x64",
                  f"upload {name}: field values {[(k, v[2][:40]) for k, v in parts.items() if k != 'file']}")
            check(re.fullmatch(rb"\d+\.\d+", parts["osversion"][2]) is not None, f"upload {name}: osversion")
            check(parts["file"][:2] == ("bugreport.zip", "Content-Type: application/zip") and
                  parts["file"][2] == archive_bytes, f"upload {name}: archive bytes")
    finally:
        shutil.rmtree(work, ignore_errors=True)


def xdotool(*args):
    return subprocess.run(["xdotool"] + list(args), capture_output=True, text=True, timeout=30)


def wait_window(title, seconds=90):
    for _ in range(seconds * 2):
        out = xdotool("search", "--name", f"^{title}$")
        ids = out.stdout.split()
        if ids:
            return ids[-1]
        time.sleep(0.5)
    return None


def type_into(window, *keys):
    # Without a window manager the keyboard follows the pointer: rest it on the window's top.
    xdotool("mousemove", "--window", window, "150", "8")
    time.sleep(0.5)
    for k in keys:
        if k.startswith("text:"):
            xdotool("type", "--delay", "20", k[5:])
        else:
            xdotool("key", k)
        time.sleep(0.3)


def dialog_tests(wine, probe, tessivo):
    """The crash and feedback dialogs driven by keys on a virtual display."""
    import json
    work = tempfile.mkdtemp(prefix="report-dialog-")
    try:
        bindir = os.path.join(work, "bin")
        os.makedirs(bindir)
        shutil.copy(tessivo, os.path.join(bindir, "tessivo.exe"))
        archive = os.path.join(work, "Vostrale.zip")
        with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("sc1.bin", unscramble(b"\xff\xd8 not really a picture \xff\xd9"))
            z.writestr("log.txt", b"log line\r\n")
            z.writestr("sy.bin", unscramble(b"<crashrpt></crashrpt>"))
        with open(archive, "rb") as f:
            archive_bytes = f.read()
        wine.run(["reg", "add", r"HKCU\Software\VostraleTest", "/v", "email", "/t", "REG_SZ",
                  "/d", "me@example.org", "/f"])
        rows = [
            # name, flags, window title, steps, exit code, expected entries (None: no request)
            ("crash send", 0xB91E0000, "Error Report", [["Return"]], 0,
             ["sc1.bin", "log.txt", "sy.bin"]),
            ("crash without screenshots", 0xB91E0000, "Error Report", [["shift+Tab", "space", "Return"]], 0,
             ["log.txt", "sy.bin"]),
            ("crash closed", 0xB91E0000, "Error Report", [["Escape"]], 0, None),
            ("feedback", 0xB91E0001, "Report an Issue or Bug",
             [["text:too short", "Tab", "Return"], ("Error", ["Return"]),
              ["ctrl+End", "text: but now it is long enough", "Tab", "Return"]], 0, []),
        ]
        for name, flags, title, steps, exit_code, entries in rows:
            print(f"--- dialog {name}", flush=True)
            record = os.path.join(work, f"dialog-{name.replace(' ', '_')}.jsonl")
            server = subprocess.Popen([sys.executable, os.path.join(HERE, "report_server.py"),
                                       "200", record], stdout=subprocess.PIPE, text=True)
            port = int(server.stdout.readline())
            launcher = None
            try:
                block = os.path.join(work, "block.bin")
                strings = ["Vostrale", "VostraleTest", "tessivo.exe", f"127.0.0.1:{port}"]
                if flags == 0xB91E0000:
                    strings.append(wine.winpath(archive))
                with open(block, "wb") as f:
                    f.write(block_bytes(flags, strings))
                launcher = subprocess.Popen([wine.wine_run, probe, "launch", wine.winpath(block),
                                             wine.winpath(os.path.join(bindir, "tessivo.exe"))],
                                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
                window = wait_window(title)
                check(window is not None, f"dialog {name}: window '{title}' shown")
                time.sleep(2)  # the dialog is mapped before it has set its focus
                for step in steps:
                    if isinstance(step, tuple):
                        box = wait_window(step[0], 30)
                        check(box is not None, f"dialog {name}: message box '{step[0]}' shown")
                        time.sleep(1)
                        if box:
                            type_into(box, *step[1])
                    elif window:
                        type_into(window, *step)
                out, _ = launcher.communicate(timeout=120)
                m = re.search(r"exit=([0-9A-F]{8})", out)
                got = int(m.group(1), 16) if m else None
            finally:
                if launcher and launcher.poll() is None:
                    launcher.kill()
                server.kill()
                server.wait()
            check(got == exit_code, f"dialog {name}: exit code {got!r}")
            lines = open(record).read().splitlines() if os.path.exists(record) else []
            check(len(lines) == (0 if entries is None else 1), f"dialog {name}: {len(lines)} requests")
            if not lines:
                continue
            parts = multipart_parts(base64_decode(json.loads(lines[0])["body"]))
            if not check(parts is not None, f"dialog {name}: multipart body"):
                continue
            check(parts["email"][2] == b"me@example.org", f"dialog {name}: stored email sent")
            if flags == 0xB91E0000:
                check("content" not in parts and parts["type"][2] == b"CRASH",
                      f"dialog {name}: crash report without content {list(parts)}")
                import io
                sent = zipfile.ZipFile(io.BytesIO(parts["file"][2]))
                check(sent.testzip() is None and sent.namelist() == entries,
                      f"dialog {name}: archive entries {sent.namelist()}")
                if entries == ["sc1.bin", "log.txt", "sy.bin"]:
                    check(parts["file"][2] == archive_bytes, f"dialog {name}: archive sent unchanged")
            else:
                check(parts["type"][2] == b"FEEDBACK" and "file" not in parts and
                      parts.get("content", (0, 0, b""))[2] == b"too short but now it is long enough",
                      f"dialog {name}: feedback content {parts.get('content')}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


def base64_decode(text):
    import base64
    return base64.b64decode(text)


def main():
    mode, wine_run, probe, tessivo = sys.argv[1:5]
    wine = Wine(wine_run)
    original = os.readlink(wine.documents) if os.path.islink(wine.documents) else None
    try:
        if mode == "crash":
            crash_tests(wine, probe, tessivo)
        elif mode == "dialog":
            dialog_tests(wine, probe, tessivo)
        else:
            upload_tests(wine, probe, tessivo)
    finally:
        if original:
            os.unlink(wine.documents)
            os.symlink(original, wine.documents)
    if failures:
        print(f"{len(failures)} checks failed")
        sys.exit(1)
    print("all checks passed")


if __name__ == "__main__":
    main()
