#!/usr/bin/python3
"""The program as a person uses it, with real X input on a virtual screen.

Usage: real_input_e2e.py BUILD_DIR

Starts a virtual X screen (Xvfb, 1280x800), a pyftpdlib server on loopback
over a small tree, and the program (a copy, so that its settings file stays in
a temporary folder). Then, with real X key and mouse events (xdotool, through
the XTEST extension): types the quick-connect fields and clicks the button,
types a folder into the remote path combo and presses Enter, types a folder
into the local path combo and presses Enter, downloads a folder through the
list's popup menu and compares the tree, uploads a local folder through the
local list's popup menu and drags a local file onto the remote list (both
compared on the server's disk), creates a folder, renames it, deletes it
(the confirmation answered with Enter), and closes the window the way a
window manager asks a window to close.

What happened is read from outside the program: the server's log and disk,
the local disk, the settings file, and the screen's pixels (the framebuffer
Xvfb keeps in a file). Screenshots of the connected window and of the delete
confirmation are written to BUILD_DIR/artifacts. Every wait is bounded; every
process started here is ended here, by its PID.
"""
import ctypes
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
PYTHON = "/usr/bin/python3"
SCREEN_W, SCREEN_H = 1280, 800
WAIT = 20.0  # seconds any one step may take

# Where the layout puts things on a 1280x800 screen, in the window's client
# area: the splitters start at 1280/2.1 = 609 and 800/1.4 = 571.
HOST_EDIT = (37, 19, 154, 20)
QUICK_CONNECT_BUTTON = (651, 17, 93, 24)
LOCAL_COMBO = (7, 167, 597, 20)
REMOTE_COMBO = (617, 167, 647, 20)
REMOTE_LIST = (617, 190, 647, 373)
LOCAL_LIST = (7, 190, 597, 373)


class Failure(Exception):
    pass


class Framebuffer:
    """The screen as Xvfb writes it to its -fbdir file (XWD format)."""

    def __init__(self, path):
        self.path = path

    def read(self):
        with open(self.path, "rb") as f:
            data = f.read()
        fields = struct.unpack(">25I", data[:100])
        header_size, width, height = fields[0], fields[4], fields[5]
        byte_order, bits_per_pixel, bytes_per_line, ncolors = fields[7], fields[11], fields[12], fields[19]
        if bits_per_pixel != 32:
            raise Failure("unexpected framebuffer depth %d" % bits_per_pixel)
        offset = header_size + ncolors * 12
        return width, height, bytes_per_line, byte_order, data[offset:]

    def pixel(self, snapshot, x, y):
        width, height, bpl, order, pixels = snapshot
        b0, b1, b2, _ = pixels[y * bpl + x * 4:y * bpl + x * 4 + 4]
        return (b2, b1, b0) if order == 0 else (b1, b2, pixels[y * bpl + x * 4 + 3])

    def save_png(self, path):
        snapshot = self.read()
        width, height = snapshot[0], snapshot[1]
        rows = bytearray()
        for y in range(height):
            rows.append(0)
            for x in range(width):
                rows.extend(self.pixel(snapshot, x, y))

        def chunk(kind, body):
            return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

        png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
        png += chunk(b"IDAT", zlib.compress(bytes(rows), 6)) + chunk(b"IEND", b"")
        with open(path, "wb") as out:
            out.write(png)


def wait_for(what, condition, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        result = condition()
        if result:
            return result
        time.sleep(0.05)
    raise Failure("timed out waiting for " + what)


def tree(root):
    """Relative paths below root, folders ending in '/', with file contents."""
    out = {}
    for folder, dirs, files in os.walk(root):
        rel = os.path.relpath(folder, root)
        for d in dirs:
            out[os.path.normpath(os.path.join(rel, d)) + "/"] = None
        for f in files:
            with open(os.path.join(folder, f), "rb") as fh:
                out[os.path.normpath(os.path.join(rel, f))] = fh.read()
    return out


class Session:
    def __init__(self, build_dir):
        self.build_dir = os.path.abspath(build_dir)
        self.artifacts = os.path.join(self.build_dir, "artifacts")
        os.makedirs(self.artifacts, exist_ok=True)
        # A picture of an earlier failure would look like this run's.
        stale = os.path.join(self.artifacts, "e2e-failure.png")
        if os.path.exists(stale):
            os.remove(stale)
        self.tmp = tempfile.mkdtemp(prefix="qftp-e2e-")
        self.processes = []
        self.env = dict(os.environ)
        self.client_y = None

    # ---- processes ---------------------------------------------------------

    def start(self, args, **kwargs):
        process = subprocess.Popen(args, **kwargs)
        self.processes.append(process)
        return process

    def stop_all(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait(5)

    def start_screen(self):
        fbdir = os.path.join(self.tmp, "fb")
        os.makedirs(fbdir)
        read_end, write_end = os.pipe()
        self.start(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "%dx%dx24" % (SCREEN_W, SCREEN_H),
                    "-nolisten", "tcp", "-fbdir", fbdir],
                   pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + WAIT
        while not number.endswith(b"\n"):
            if time.monotonic() > deadline:
                raise Failure("Xvfb did not start")
            part = os.read(read_end, 16)
            if not part:
                raise Failure("Xvfb did not start")
            number += part
        os.close(read_end)
        self.env["DISPLAY"] = ":" + number.decode().strip()
        self.screen = Framebuffer(os.path.join(fbdir, "Xvfb_screen0"))
        wait_for("the framebuffer", lambda: os.path.exists(self.screen.path))

    def start_server(self):
        self.root = os.path.join(self.tmp, "server")
        files = {
            "pub/readme.txt": b"top\n",
            "pub/tree/data/a.txt": b"alpha\n",
            "pub/tree/data/中文 文件.bin": bytes(range(256)) * 40,
            "pub/tree/data/sub/deep.txt": b"deep\n" * 100,
            "pub/tree/data/empty/": None,
        }
        for rel, data in files.items():
            path = os.path.join(self.root, rel)
            if data is None:
                os.makedirs(path, exist_ok=True)
                continue
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as out:
                out.write(data)
        self.server_log = os.path.join(self.tmp, "ftp.log")
        log = open(self.server_log, "wb")
        server = self.start([PYTHON, os.path.join(SOURCE, "tests/support/pyftpd_server.py"), self.root, "demo",
                             "demo", "0"], stdout=subprocess.PIPE, stderr=log)
        line = server.stdout.readline()
        if not line.strip().isdigit():
            raise Failure("pyftpdlib did not start")
        self.port = int(line)

    def start_program(self):
        program = os.path.join(self.build_dir, "app", "quorvel-ftp")
        if not os.access(program, os.X_OK):
            raise Failure("missing " + program)
        folder = os.path.join(self.tmp, "program")
        os.makedirs(folder)
        shutil.copy(program, folder)
        self.home = os.path.join(self.tmp, "home")
        self.download = os.path.join(self.home, "downloads")
        os.makedirs(self.download)
        self.settings = os.path.join(folder, "配置文件.ini")
        # What is uploaded: a folder with nested, Chinese and blank names and
        # an empty file, and a file beside it that is dragged.
        self.upload = os.path.join(self.home, "upload")
        for rel, data in {
            "上传 目录/a.txt": b"upload alpha\n",
            "上传 目录/空 文件.dat": b"",
            "上传 目录/子 目录/中文 名.bin": bytes(range(256)) * 300,
        }.items():
            path = os.path.join(self.upload, rel)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as out:
                out.write(data)
        with open(os.path.join(self.upload, "拖放.txt"), "wb") as out:
            out.write(b"dragged\n" * 50)
        env = dict(self.env, HOME=self.home, XDG_CONFIG_HOME=os.path.join(self.home, ".config"))
        env.pop("QT_QPA_PLATFORM", None)
        self.app_log = open(os.path.join(self.tmp, "app.log"), "wb")
        self.program = self.start([os.path.join(folder, "quorvel-ftp")], cwd=folder, env=env,
                                  stdout=self.app_log, stderr=subprocess.STDOUT)
        self.window = wait_for("the main window", lambda: self.find_window("Quorvel游戏社区FTP上传工具"))
        # The host field is white once the window is painted.
        self.client_y = wait_for("the painted window", self.find_client_top)

    # ---- X input -----------------------------------------------------------

    def xdotool(self, *args):
        result = subprocess.run(["xdotool"] + [str(a) for a in args], env=self.env, capture_output=True,
                                timeout=WAIT)
        if result.returncode != 0:
            raise Failure("xdotool %s: %s" % (" ".join(map(str, args)), result.stderr.decode()))
        return result.stdout.decode()

    def find_window(self, title):
        result = subprocess.run(["xdotool", "search", "--name", title], env=self.env, capture_output=True,
                                timeout=WAIT)
        ids = result.stdout.split()
        return int(ids[0]) if ids else None

    def find_client_top(self):
        """Where the client area starts below the menu bar: the host field's
        inside is the first white in its column."""
        snapshot = self.screen.read()
        x = HOST_EDIT[0] + HOST_EDIT[2] // 2
        for y in range(10, 80):
            if self.screen.pixel(snapshot, x, y) == (255, 255, 255):
                return y - HOST_EDIT[1] - 1
        return None

    def at(self, box, dy=None):
        """The screen point in the middle of a client-area box."""
        x, y, w, h = box
        return x + w // 2, self.client_y + y + (h // 2 if dy is None else dy)

    def click(self, box, button=1):
        x, y = self.at(box)
        self.xdotool("mousemove", x, y, "click", button)

    def keys(self, *names):
        self.xdotool("key", "--delay", "30", *names)

    def type(self, text):
        self.xdotool("type", "--delay", "20", text)

    def type_over(self, box, text):
        self.click(box)
        self.keys("ctrl+a")
        self.type(text)

    def highlighted_row(self, box):
        """The middle of the selected row of a list, from the screen."""
        snapshot = self.screen.read()
        x = box[0] + 40
        rows = [y for y in range(self.client_y + box[1], self.client_y + box[1] + box[3])
                if (lambda p: p[2] > 150 and p[0] < 110 and p[2] - p[0] > 80)(self.screen.pixel(snapshot, x, y))]
        if not rows:
            return None
        return x, (rows[0] + rows[-1]) // 2

    def close_window(self):
        """WM_DELETE_WINDOW, as a window manager sends it for the close button."""
        x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x11.XInternAtom.restype = ctypes.c_ulong
        x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
        x11.XFlush.argtypes = [ctypes.c_void_p]

        class ClientMessage(ctypes.Structure):
            _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                        ("display", ctypes.c_void_p), ("window", ctypes.c_ulong),
                        ("message_type", ctypes.c_ulong), ("format", ctypes.c_int), ("l", ctypes.c_long * 5)]

        class Event(ctypes.Union):
            _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]

        x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                                   ctypes.POINTER(Event)]
        display = x11.XOpenDisplay(self.env["DISPLAY"].encode())
        if not display:
            raise Failure("cannot open the display")
        event = Event()
        event.xclient.type = 33  # ClientMessage
        event.xclient.window = self.window
        event.xclient.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
        event.xclient.format = 32
        event.xclient.l[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
        x11.XSendEvent(display, self.window, 0, 0, ctypes.byref(event))
        x11.XFlush(display)
        x11.XCloseDisplay(display)

    # ---- what happened -----------------------------------------------------

    def server_saw(self, text):
        with open(self.server_log, "rb") as f:
            return text.encode() in f.read()

    def screenshot(self, name):
        self.screen.save_png(os.path.join(self.artifacts, name))

    # ---- the session -------------------------------------------------------

    def run(self):
        started = time.monotonic()
        self.start_screen()
        self.start_server()
        self.start_program()
        step("window up, client area at y=%d" % self.client_y)

        self.type_over(HOST_EDIT, "127.0.0.1")
        self.keys("Tab")
        self.type("demo")
        self.keys("Tab")
        self.type("demo")
        self.keys("Tab", "ctrl+a")
        self.type(str(self.port))
        self.click(QUICK_CONNECT_BUTTON)
        # pyftpdlib logs log-ins and folder changes (with their real paths).
        wait_for("the log-in", lambda: self.server_saw("USER 'demo' logged in"))
        wait_for("the first listing", lambda: self.server_saw("CWD %s 250" % self.root))
        step("quick connect")

        self.type_over(REMOTE_COMBO, "/pub/tree")
        self.keys("Return")
        wait_for("the change to /pub/tree", lambda: self.server_saw("CWD %s/pub/tree 250" % self.root))
        step("Enter in the remote combo")

        self.type_over(LOCAL_COMBO, self.download)
        self.keys("Return")
        wait_for("the saved local folder",
                 lambda: os.path.exists(self.settings) and
                 ("上次路径=" + self.download) in open(self.settings, encoding="utf-8").read())
        step("Enter in the local combo")

        # Row 1 of /pub/tree is its one folder: select it with the keys, then
        # right-click it where the screen shows it selected.
        self.click(REMOTE_LIST)
        self.keys("Home", "Down")
        row = wait_for("the selected row", lambda: self.highlighted_row(REMOTE_LIST))
        self.xdotool("mousemove", row[0], row[1], "click", 3)
        self.keys("Down", "Down", "Return")  # 刷新目录, 下载文件
        expected = tree(os.path.join(self.root, "pub/tree"))
        wait_for("the downloaded tree", lambda: tree(self.download) == expected)
        step("folder downloaded through the popup menu, tree equal (%d entries)" % len(expected))
        self.screenshot("e2e-downloaded.png")

        # The local list follows the download without a refresh: below the
        # parent row of the (empty before) local folder there is now a row
        # the keys can move to.
        def local_list_has_more_than_the_parent_row():
            self.click(LOCAL_LIST)
            self.keys("Home")
            time.sleep(0.1)
            first = self.highlighted_row(LOCAL_LIST)
            self.keys("Down")
            time.sleep(0.1)
            below = self.highlighted_row(LOCAL_LIST)
            return first is not None and below is not None and below[1] > first[1] + 4
        wait_for("the downloaded folder in the local list", local_list_has_more_than_the_parent_row)
        step("the local list shows the downloaded folder without a refresh")

        # Upload: the local folder typed with Enter; its row 1 is the folder
        # to upload (rows are in name order), chosen from the local list's
        # popup menu, first item.
        self.type_over(LOCAL_COMBO, self.upload)
        self.keys("Return")
        self.click(LOCAL_LIST)
        self.keys("Home", "Down")
        row = wait_for("the selected local row", lambda: self.highlighted_row(LOCAL_LIST))
        self.xdotool("mousemove", row[0], row[1], "click", 3)
        self.keys("Down", "Return")  # 上传文件
        uploaded = tree(os.path.join(self.upload, "上传 目录"))
        wait_for("the uploaded tree",
                 lambda: tree(os.path.join(self.root, "pub/tree/上传 目录")) == uploaded)
        step("folder uploaded through the local popup menu, tree equal (%d entries)" % len(uploaded))

        # Drag: the file of row 2 pressed, dragged onto the remote list and
        # released there.
        self.click(LOCAL_LIST)
        self.keys("Home", "Down", "Down")
        row = wait_for("the file's row", lambda: self.highlighted_row(LOCAL_LIST))
        target = self.at(REMOTE_LIST)
        self.xdotool("mousemove", "--sync", row[0], row[1], "mousedown", 1)
        for i in range(1, 9):
            x = row[0] + 12 if i == 1 else row[0] + (target[0] - row[0]) * i // 8
            y = row[1] if i == 1 else row[1] + (target[1] - row[1]) * i // 8
            self.xdotool("mousemove", x, y)
            time.sleep(0.05)
        self.xdotool("mouseup", 1)
        dragged = os.path.join(self.root, "pub/tree/拖放.txt")
        with open(os.path.join(self.upload, "拖放.txt"), "rb") as f:
            want = f.read()
        wait_for("the dragged file on the server",
                 lambda: os.path.exists(dragged) and open(dragged, "rb").read() == want)
        # The remote folder is listed again once the upload has run through;
        # the steps below pick rows of that listing.
        def listed_after_drag():
            with open(self.server_log, "rb") as f:
                log = f.read()
            stored = log.find("STOR {}/pub/tree/拖放.txt completed=1".format(self.root).encode())
            return stored >= 0 and log.find(("CWD %s/pub/tree 250" % self.root).encode(), stored) >= 0
        wait_for("the remote folder listed after the upload", listed_after_drag)
        step("file dragged onto the remote list and uploaded, remote folder listed again")
        time.sleep(0.3)  # the listing's rows painted
        self.screenshot("e2e-uploaded.png")

        # Create: the popup menu over the list, third item.
        self.click(REMOTE_LIST, button=3)
        self.keys("Down", "Down", "Down", "Return")
        time.sleep(0.3)
        self.keys("ctrl+a")
        self.type("e2e-new")
        self.keys("Return")
        created = os.path.join(self.root, "pub/tree/e2e-new")
        wait_for("the created folder", lambda: os.path.isdir(created))
        step("folder created")

        # Rename: typing a name's first letters selects its row.
        self.click(REMOTE_LIST)
        self.type("e2e")
        row = wait_for("the new folder's row", lambda: self.highlighted_row(REMOTE_LIST))
        self.xdotool("mousemove", row[0], row[1], "click", 3)
        self.keys("Down", "Down", "Down", "Down", "Return")
        time.sleep(0.3)
        self.type("e2e-renamed")
        self.keys("Return")
        renamed = os.path.join(self.root, "pub/tree/e2e-renamed")
        wait_for("the renamed folder", lambda: os.path.isdir(renamed) and not os.path.exists(created))
        step("folder renamed")

        # Delete, confirmed with Enter (OK is the default button).
        self.click(REMOTE_LIST)
        self.type("e2e")
        row = wait_for("the renamed folder's row", lambda: self.highlighted_row(REMOTE_LIST))
        self.xdotool("mousemove", row[0], row[1], "click", 3)
        self.keys("Down", "Down", "Down", "Down", "Down", "Return")
        time.sleep(0.5)
        self.screenshot("delete-confirmation.png")
        if not os.path.isdir(renamed):
            raise Failure("deleted before the confirmation")
        self.keys("Return")
        wait_for("the deleted folder", lambda: not os.path.exists(renamed))
        step("folder deleted after the confirmation")

        self.close_window()
        code = wait_for("the program to end", lambda: self.program.poll() is not None or None)
        if self.program.returncode != 0:
            raise Failure("the program ended with %d" % self.program.returncode)
        step("window closed, program ended")
        # The download and nothing else below the local folder.
        if tree(self.download) != expected:
            raise Failure("the local tree changed after the download")
        step("done in %.1f s" % (time.monotonic() - started))
        return code is not None


def step(text):
    print("  ok: " + text, flush=True)


def main(argv):
    if len(argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    for tool in ("Xvfb", "xdotool"):
        if shutil.which(tool) is None:
            print("missing %s (make deps installs it)" % tool)
            return 1
    session = Session(argv[1])
    try:
        session.run()
        print("real-input end-to-end test: passed")
        return 0
    except (Failure, subprocess.TimeoutExpired, OSError) as failure:
        print("real-input end-to-end test: FAILED: %s" % failure)
        try:
            session.screenshot("e2e-failure.png")
            print("screen at the failure: %s" % os.path.join(session.artifacts, "e2e-failure.png"))
        except Exception as why:  # the screen may be gone already
            print("no screenshot: %s" % why)
        for name in ("ftp.log", "app.log"):
            path = os.path.join(session.tmp, name)
            if os.path.exists(path):
                print("---- %s (last lines)" % name)
                with open(path, "rb") as f:
                    print(b"\n".join(f.read().splitlines()[-25:]).decode(errors="replace"))
        return 1
    finally:
        session.stop_all()
        shutil.rmtree(session.tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
