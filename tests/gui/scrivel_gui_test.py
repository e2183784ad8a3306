#!/usr/bin/env python3
"""End-to-end check of the desktop application under a virtual X server.

Starts the real `scrivel` with a generated clip on its command line and a
loopback development page (SCRIVEL_WEB_DEV_URL) that drives the bridge:
"ready" -> "videoSelected" -> "openVideo" (the chooser answered through
SCRIVEL_TEST_OPEN_PATH) -> "scanVideo" (real recognition) -> the preview
photographed and clicked with real pointer events -> "exportVideo"
(the save chooser answered through SCRIVEL_TEST_SAVE_PATH) -> "saveReview"
(SCRIVEL_TEST_REVIEW_PATH). Then it quits the app the careful way (SIGTERM),
starts it again with the saved review on its command line, opens it
("openRequested" -> "openReview"), exports again and compares the two copies
frame by frame; an unsaved review there holds Ctrl+Q until the page answers
the "close" command with "closeWindow". Last it starts the app on the shipped page
(scrivel://app/index.html), photographs the screen, keeps the picture and
checks it is not blank.

usage: scrivel_gui_test.py <scrivel> <screen-capture> <source-dir> <artefact-dir>
"""

import http.server
import json
import os
import shutil
import signal
import socketserver
import struct
import subprocess
import sys
import tempfile
import threading
import time

SCRIVEL, CAPTURE, SOURCE, ARTEFACTS = sys.argv[1:5]
HERE = os.path.dirname(os.path.abspath(__file__))
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
WIDTH, HEIGHT = 640, 360
# The clip's background: a colour nothing else on the screen has, so the
# player's picture can be found in a screenshot.
BACKGROUND = "ffe6b4"
# The text line, in clip pixels, and where it sits as a fraction of the picture.
TEXT_BOX = (60, 150, 400, 190)
TEXT_CENTRE = (0.3, 0.47)
failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def make_clip(path):
    text = "drawtext=fontfile={}:text='alice@example.com':fontsize=34:fontcolor=black:x=60:y=150".format(FONT)
    subprocess.run(["ffmpeg", "-v", "error", "-y",
                    "-f", "lavfi", "-i", "color=0x{}:s={}x{}:r=10:d=2".format(BACKGROUND, WIDTH, HEIGHT),
                    "-f", "lavfi", "-i", "sine=frequency=440:duration=2",
                    "-vf", text, "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac", "-shortest", path],
                   check=True)


def grey_frame(path, seconds):
    raw = subprocess.run(["ffmpeg", "-v", "error", "-ss", str(seconds), "-i", path, "-frames:v", "1",
                          "-f", "rawvideo", "-pix_fmt", "gray", "-"], check=True, capture_output=True).stdout
    return raw


def mean_difference(a, b, x0, y0, x1, y1):
    total = 0
    for y in range(y0, y1):
        row = y * WIDTH
        total += sum(abs(a[row + x] - b[row + x]) for x in range(x0, x1))
    return total / ((x1 - x0) * (y1 - y0))


class Pointer:
    """The X server's test extension: real pointer events at screen positions."""

    def __init__(self):
        import ctypes
        self.x11 = ctypes.cdll.LoadLibrary("libX11.so.6")
        self.xtst = ctypes.cdll.LoadLibrary("libXtst.so.6")
        self.x11.XOpenDisplay.restype = ctypes.c_void_p
        self.x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.x11.XFlush.argtypes = [ctypes.c_void_p]
        self.xtst.XTestFakeMotionEvent.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                                                   ctypes.c_ulong]
        self.xtst.XTestFakeButtonEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
        self.xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]
        self.x11.XStringToKeysym.argtypes = [ctypes.c_char_p]
        self.x11.XStringToKeysym.restype = ctypes.c_ulong
        self.x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        self.x11.XKeysymToKeycode.restype = ctypes.c_ubyte
        self.display = self.x11.XOpenDisplay(None)

    def move(self, x, y):
        self.xtst.XTestFakeMotionEvent(self.display, -1, int(round(x)), int(round(y)), 0)
        self.x11.XFlush(self.display)
        time.sleep(0.03)

    def key(self, name, down):
        code = self.x11.XKeysymToKeycode(self.display, self.x11.XStringToKeysym(name.encode()))
        self.xtst.XTestFakeKeyEvent(self.display, code, 1 if down else 0, 0)
        self.x11.XFlush(self.display)
        time.sleep(0.03)

    def chord(self, modifier, name):
        self.key(modifier, True)
        self.key(name, True)
        self.key(name, False)
        self.key(modifier, False)

    def button(self, down):
        self.xtst.XTestFakeButtonEvent(self.display, 1, 1 if down else 0, 0)
        self.x11.XFlush(self.display)
        time.sleep(0.05)


def picture_on_screen():
    """The player's picture (left, top, right, bottom) in screen pixels."""
    result = subprocess.run([CAPTURE, os.path.join(ARTEFACTS, "scrivel-input.png"), BACKGROUND],
                            capture_output=True, text=True, check=True)
    return json.loads(result.stdout)["boxes"][0]


def pointer_input(action):
    left, top, right, bottom = picture_on_screen()
    at = lambda fx, fy: (left + fx * (right - left), top + fy * (bottom - top))
    pointer = Pointer()
    if action == "escape":
        pointer.move(*at(0.5, 0.5))
        pointer.key("Escape", True)
        pointer.key("Escape", False)
    elif action == "draw":
        pointer.move(*at(0.25, 0.25))
        pointer.button(True)
        for step in range(1, 11):
            pointer.move(*at(0.25 + 0.025 * step, 0.25 + 0.05 * step))
        pointer.button(False)
    else:
        pointer.move(*(at(*TEXT_CENTRE) if action == "click-mask" else at(0.9, 0.1)))
        pointer.button(True)
        pointer.button(False)


class Reports:
    def __init__(self):
        self.report = None
        self.arrived = threading.Event()
        self.closing = None
        self.asked = threading.Event()


def serve(reports):
    page = open(os.path.join(HERE, "protocol-page.html"), "rb").read()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(page)))
            self.end_headers()
            self.wfile.write(page)

        def do_POST(self):
            body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
            if self.path.startswith("/checkpoint/"):
                name = self.path.rsplit("/", 1)[1]
                picture = os.path.join(ARTEFACTS, "scrivel-preview-{}.png".format(name))
                # Counts of the mask colour and of the clip's white.
                result = subprocess.run([CAPTURE, picture, "101318", BACKGROUND], capture_output=True, text=True)
                answer = result.stdout.encode() if result.returncode == 0 else b"null"
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(answer)))
                self.end_headers()
                self.wfile.write(answer)
                return
            if self.path.startswith("/input/"):
                pointer_input(self.path.rsplit("/", 1)[1])
                self.send_response(204)
                self.end_headers()
                return
            self.send_response(204)
            self.end_headers()
            if self.path == "/report":
                reports.report = json.loads(body)
                reports.arrived.set()
            if self.path == "/closing":
                reports.closing = json.loads(body)
                reports.asked.set()

        def log_message(self, *args):
            pass

    server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def launch(arguments, extra_env, log_path):
    env = dict(os.environ)
    # Only the virtual X server, whatever session the test was started from,
    # and only the settings each run asks for.
    for name in ("WAYLAND_DISPLAY", "SCRIVEL_WEB_DEV_URL", "SCRIVEL_WEB_DIR", "SCRIVEL_TEST_SAVE_PATH",
                 "SCRIVEL_TEST_OPEN_PATH", "SCRIVEL_TEST_REVIEW_PATH"):
        env.pop(name, None)
    env.update({"GDK_BACKEND": "x11", "GTK_A11Y": "none", "NO_AT_BRIDGE": "1"})
    env.update(extra_env)
    # A session bus of its own, so the application can register uniquely.
    prefix = ["dbus-run-session", "--"] if shutil.which("dbus-run-session") else []
    log = open(log_path, "wb")
    return subprocess.Popen(prefix + [SCRIVEL] + arguments, env=env, stdout=log, stderr=subprocess.STDOUT,
                            start_new_session=True)


def quit_app(process, what, requests=1):
    # SIGTERM to the app itself (not the bus wrapper): the same path as Ctrl+Q.
    app = subprocess.run(["pgrep", "-P", str(process.pid)], capture_output=True, text=True).stdout.split()
    target = int(app[0]) if app else process.pid
    for _ in range(requests):
        os.kill(target, signal.SIGTERM)
    try:
        code = process.wait(timeout=30)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        code = None
    check(code == 0, what + " quits cleanly on {} SIGTERM (exit {})".format(requests, code))


def protocol_run(work):
    clip = os.path.join(work, "Screen Recording.mp4")
    make_clip(clip)
    output = os.path.join(work, "exported")  # the app adds ".mp4"
    reports = Reports()
    server = serve(reports)
    env = {
        "SCRIVEL_WEB_DEV_URL": "http://127.0.0.1:{}/index.html".format(server.server_address[1]),
        "SCRIVEL_TEST_SAVE_PATH": output,
        "SCRIVEL_TEST_OPEN_PATH": clip,
        "SCRIVEL_TEST_REVIEW_PATH": os.path.join(work, "review"),  # the app adds ".scrivel"
    }
    if "SCRIVEL_MODEL_DIR" not in os.environ and os.path.isdir(os.path.join(SOURCE, "models")):
        env["SCRIVEL_MODEL_DIR"] = os.path.join(SOURCE, "models")
    process = launch([clip], env, os.path.join(ARTEFACTS, "scrivel-protocol.log"))
    arrived = reports.arrived.wait(timeout=150)
    check(arrived, "the page reported back")
    if arrived:
        report = reports.report
        check(report.get("ok") is True, "the protocol run succeeded: " + str(report.get("error", "")))
        names = [e["name"] for e in report.get("events", [])]
        if report.get("ok"):
            info = report["info"]
            check(report["ack"] == {"ok": True}, "ready is acknowledged")
            check(report["dropped"]["displayName"] == "Screen Recording.mp4", "videoSelected names the clip")
            check(info["displayName"] == "Screen Recording.mp4" and info["id"] != report["dropped"]["id"],
                  "openVideo selects the chosen file afresh")
            check((info["width"], info["height"]) == (WIDTH, HEIGHT), "the selection has the clip's size")
            check(abs(info["duration"] - 2) < 0.2, "the selection has the clip's duration")
            check(report["wrongCase"] == "The app received an invalid request.", "a wrongly cased method is refused")
            summary = report["summary"]
            check(summary["totalRegions"] > 0 and summary["sampleCount"] > 0, "the scan found text")
            selected = " ".join(t["selectedText"] for t in summary["tracks"])
            check("@" in selected, "the e-mail address is selected for redaction: " + selected)
            check(report["exported"]["outputPath"] == output + ".mp4", "the export went to the chosen file")
            check(report["savedReview"]["path"] == os.path.join(work, "review.scrivel"),
                  "the review went to the chosen file: " + str(report["savedReview"]))
            kinds = {e["payload"]["kind"] for e in report["events"] if e["name"] == "jobProgress"}
            check(kinds == {"scan", "export"}, "progress arrived for both jobs: " + str(kinds))
            states = [e["payload"] for e in report["events"] if e["name"] == "playerState"]
            check(any(s["videoId"] == info["id"] for s in states), "the player published its state")
            check("toast" not in names, "no error notice: " + str([e for e in report["events"] if e["name"] == "toast"]))
            # The player is 480 x 270 points over the page: the clip scaled by 0.75.
            masked, unmasked = report["masked"], report["unmasked"]
            check(masked is not None and unmasked is not None, "the preview was photographed")
            if masked and unmasked:
                check(unmasked["counts"][1] > 0.9 * 480 * 270, "the player shows the clip: " + str(unmasked["counts"]))
                check(masked["counts"][0] > 2000, "the preview draws the mask: " + str(masked["counts"]))
                check(unmasked["counts"][0] < masked["counts"][0] / 10, "the mask goes when the preview is off")
            rect = report["mask"]["rect"]
            drawn = (rect["x"], rect["y"], rect["width"], rect["height"])
            check(report["mask"]["videoId"] == info["id"] and
                  all(abs(a - b) < 0.02 for a, b in zip(drawn, (0.25, 0.25, 0.25, 0.5))),
                  "a drag in drawing mode draws that mask: " + str(drawn))
            email_tracks = [t["id"] for t in summary["tracks"] if "@" in t["selectedText"]]
            check(report["onMask"]["trackId"] in email_tracks, "a click on the mask picks its track: " +
                  str(report["onMask"]))
            check(report["offMask"] == {"videoId": info["id"], "trackId": None},
                  "a click beside it clears the pick: " + str(report["offMask"]))
            check(report["escapeEnded"] == {"videoId": info["id"]}, "Escape ends drawing mode")
            playing = [s["time"] for s in report["playback"] if s["isPlaying"]]
            check(len(playing) >= 5, "state goes out every 0.1 s while playing: {} times".format(len(playing)))
            check(bool(playing) and min(playing) < 0.5 and max(playing) > min(playing),
                  "play at the end starts over and the time advances: " + str(playing[:3] + playing[-2:]))
            check(bool(report["playback"]) and not report["playback"][-1]["isPlaying"], "the second toggle pauses")
            if os.path.exists(output + ".mp4"):
                source, redacted = grey_frame(clip, 1), grey_frame(output + ".mp4", 1)
                # The text line is masked; the empty top band is not touched.
                check(mean_difference(source, redacted, *TEXT_BOX) > 40, "the address is masked in the file")
                check(mean_difference(source, redacted, 0, 0, WIDTH, 100) < 3, "the rest of the picture is unchanged")
                # The manual mask of the review's settings (0.7, 0.8, 0.2 x 0.1 of the frame) at 1 s.
                check(mean_difference(source, redacted, 452, 292, 572, 320) > 40, "the manual mask is drawn")
    quit_app(process, "the protocol run")
    server.shutdown()


def all_frames(path):
    return subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                          check=True, capture_output=True).stdout


def review_run(work):
    """The saved review after a restart: opened from the command line, it exports the same pixels."""
    clip = os.path.join(work, "Screen Recording.mp4")
    review = os.path.join(work, "review.scrivel")
    first, second = os.path.join(work, "exported.mp4"), os.path.join(work, "reopened")
    if not (os.path.exists(review) and os.path.exists(first)):
        check(False, "the protocol run left a review and an export to compare with")
        return
    reports = Reports()
    server = serve(reports)
    env = {
        "SCRIVEL_WEB_DEV_URL": "http://127.0.0.1:{}/index.html?mode=reopen".format(server.server_address[1]),
        "SCRIVEL_TEST_SAVE_PATH": second,
    }
    process = launch([review], env, os.path.join(ARTEFACTS, "scrivel-review.log"))
    arrived = reports.arrived.wait(timeout=90)
    check(arrived, "the reopened review reported back")
    if arrived and reports.report.get("ok"):
        report = reports.report
        check(report["request"] == {"path": review, "kind": "review"}, "the command line's review goes to the page: " +
              str(report["request"]))
        opened = report["opened"]
        check(opened["video"]["displayName"] == "Screen Recording.mp4", "the review opens onto its video")
        check(len(opened["renderSettings"]["manualMasks"]) == 1, "with its manual mask")
        check(any("@" in t["selectedText"] and t["kinds"] == ["email"] for t in opened["tracks"]),
              "with its scan: " + str(opened["tracks"]))
        check(report["exported"]["outputPath"] == second + ".mp4", "the reopened review exported")
        if os.path.exists(second + ".mp4"):
            before, after = all_frames(first), all_frames(second + ".mp4")
            check(len(before) > 0 and before == after,
                  "the same pixels as before the restart ({} and {} bytes)".format(len(before), len(after)))
        # Ctrl+Q with an unsaved review: the page is asked and lets it go.
        pointer = Pointer()
        pointer.move(600, 400)
        pointer.chord("Control_L", "q")
        asked = reports.asked.wait(timeout=20)
        check(asked and reports.closing == {"name": "close"}, "Ctrl+Q asks the page first: " + str(reports.closing))
        try:
            code = process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            code = None
        check(code == 0, "the page's closeWindow quits cleanly (exit {})".format(code))
        if code is not None:
            server.shutdown()
            return
    elif arrived:
        check(False, "the reopened review: " + str(reports.report.get("error")))
    quit_app(process, "the review run")
    server.shutdown()


def review_window_run(work):
    """The shipped page, the saved review opened from the command line: its clip shows in the player."""
    review = os.path.join(work, "review.scrivel")
    if not os.path.exists(os.path.join(SOURCE, "web", "index.html")) or not os.path.exists(review):
        return
    process = launch([review], {}, os.path.join(ARTEFACTS, "scrivel-review-window.log"))
    picture = os.path.join(ARTEFACTS, "scrivel-review-window.png")
    stats = None
    deadline = time.time() + 45
    while time.time() < deadline:
        time.sleep(2)
        result = subprocess.run([CAPTURE, picture, BACKGROUND], capture_output=True, text=True)
        if result.returncode == 0:
            stats = json.loads(result.stdout)
            if stats["counts"][0] > 10000:
                break
    check(stats is not None and stats["counts"][0] > 10000,
          "the page opens the saved review and shows its clip (screen {})".format(stats))
    print("screenshot kept at " + picture)
    quit_app(process, "the review window run")


def write_stand_in_page(folder):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "index.html"), "w") as page:
        page.write("<!doctype html><html><head><meta charset='utf-8'><link rel='stylesheet' href='style.css'></head>"
                   "<body><h1>Scrivel</h1><p>Stand-in page for the window check.</p></body></html>")
    with open(os.path.join(folder, "style.css"), "w") as style:
        style.write("body{margin:0;height:100vh;font:28px sans-serif;color:#fff;"
                    "background:linear-gradient(135deg,#3a1c71,#d76d77,#ffaf7b)}h1{padding:60px}")


def window_run(work):
    """The shipped page with the clip opened: the page shows it in the player."""
    env = {}
    if not os.path.exists(os.path.join(SOURCE, "web", "index.html")):
        env["SCRIVEL_WEB_DIR"] = os.path.join(work, "web")
        write_stand_in_page(env["SCRIVEL_WEB_DIR"])
    real_page = "SCRIVEL_WEB_DIR" not in env
    process = launch([os.path.join(work, "Screen Recording.mp4")], env, os.path.join(ARTEFACTS, "scrivel-window.log"))
    picture = os.path.join(ARTEFACTS, "scrivel-window.png")
    drawn = lambda stats: stats["colours"] >= 32 and stats["spread"] > 10
    # The real page puts the player over its preview area; the stand-in does not.
    playing = lambda stats: not real_page or stats["counts"][0] > 10000
    stats = None
    deadline = time.time() + 45
    while time.time() < deadline:
        time.sleep(2)
        result = subprocess.run([CAPTURE, picture, BACKGROUND], capture_output=True, text=True)
        if result.returncode == 0:
            stats = json.loads(result.stdout)
            if drawn(stats) and playing(stats):
                break
    check(stats is not None and drawn(stats), "the window shows the page (screen {})".format(stats))
    check(stats is not None and playing(stats), "the page shows the opened clip in the player")
    print("screenshot kept at " + picture)
    # Ctrl+Q from the keyboard, twice: a repeated request while the first is
    # in progress changes nothing. (Without a window manager the keyboard
    # follows the pointer, so the pointer goes over the window first.)
    pointer = Pointer()
    pointer.move(600, 400)
    pointer.chord("Control_L", "q")
    pointer.chord("Control_L", "q")
    try:
        code = process.wait(timeout=30)
    except subprocess.TimeoutExpired:
        code = None
    check(code == 0, "Ctrl+Q twice quits once, cleanly (exit {})".format(code))
    if code is None:
        quit_app(process, "the window run")


def main():
    os.makedirs(ARTEFACTS, exist_ok=True)
    work = tempfile.mkdtemp(prefix="scrivel-gui-")
    try:
        protocol_run(work)
        review_run(work)
        review_window_run(work)
        window_run(work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        print("{} check(s) failed".format(len(failures)))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
