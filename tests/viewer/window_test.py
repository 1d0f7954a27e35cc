#!/usr/bin/env python3
"""orv-view as a person meets it, in an X server of this test's own (Xvfb).

  window_test.py --viewer ORV_VIEW --frame VIEWER_FRAME CASE

CASE is one of:
  refusals       bad options and malformed, mis-shaped or hostile files, and no display: exit
                 status 2 and one line on stderr each, before any window opens
  input          real X key presses and mouse drags (xdotool) move and turn the observer as the
                 controls say, per second of holding a key and per pixel of a drag, read from --pose
  screen.cpu     a grab of the window from the X server (xwd) holds exactly the pixels of the frame
  screen.vulkan  rendered offline for the same pose on the same device (viewer_frame), before and
                 after the window is resized; --frames and --screenshot write that frame. The
                 Vulkan device shows its frames through the window's surface, under the
                 validation layer (ORV_VULKAN_VALIDATION=1), with nothing said on stderr: no
                 message of the layer, and no fallback to reading frames back

Where no X server can be started, or a tool is missing, the window cases print "skipped: ..." and
succeed; with ORV_REQUIRE_VIEWER=1 they fail instead. screen.vulkan also skips under
ORV_SKIP_VULKAN=1, and where no Vulkan device can be made unless ORV_REQUIRE_VULKAN=1.
Only the standard library is used.
"""

import argparse
import math
import os
import queue
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time

WIDTH, HEIGHT = 320, 180


class Skip(Exception):
    """A case that cannot run here; `viewer_fault` where ORV_REQUIRE_VIEWER makes that a failure."""

    def __init__(self, message, viewer_fault=True):
        super().__init__(message)
        self.viewer_fault = viewer_fault


def fail(message):
    print("FAILED: " + message, file=sys.stderr)
    sys.exit(1)


def check(condition, message):
    if not condition:
        fail(message)


# --- an X server of our own -----------------------------------------------------------------------

class XServer:
    def __init__(self):
        for tool in ("Xvfb", "xdotool", "xwd"):
            if shutil.which(tool) is None:
                raise Skip(f"{tool} is not installed (scripts/install-packages viewer)")
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "640x480x24", "-nolisten",
             "tcp", "-noreset"], pass_fds=(write_end,), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 20
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        if not number.strip().isdigit():
            self.close()
            raise Skip("Xvfb could not be started")
        self.env = dict(os.environ, DISPLAY=":" + number.strip().decode())
        self.env.pop("WAYLAND_DISPLAY", None)
        # Under AddressSanitizer the X11 and D-Bus libraries that SDL loads, and unloads before the
        # leak check, leave allocations behind that cannot be told apart from orv's: the leak check
        # is off for the viewer in a window, and stays on for viewer_frame, which runs the same
        # scenes, frame renderer and devices, and for the refusals.
        if "ASAN_OPTIONS" in self.env:
            self.env["ASAN_OPTIONS"] += ":detect_leaks=0"
        self.env.pop("SDL_VIDEODRIVER", None)

    def tool(self, *args):
        return subprocess.run(args, env=self.env, check=True, capture_output=True,
                              timeout=30).stdout

    def close(self):
        self.process.terminate()
        self.process.wait(timeout=10)


class Viewer:
    """orv-view running in `server`, its --pose lines read as they come."""

    def __init__(self, server, viewer, *options, cwd=None, env=None):
        self.server = server
        self.process = subprocess.Popen(
            [viewer, "--pose", "--size", f"{WIDTH}x{HEIGHT}", *options],
            env=server.env if env is None else env, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE, text=True, cwd=cwd)
        self.lines = queue.Queue()
        self.arrivals = []  # when each pose line came
        self.last = None
        threading.Thread(target=self._read, daemon=True).start()
        self.first = self.wait_frames(1)
        found = server.tool("xdotool", "search", "--sync", "--onlyvisible", "--name", "^orv-view")
        self.window = found.split()[0].decode()

    def _read(self):
        for line in self.process.stdout:
            self.arrivals.append(time.monotonic())
            self.lines.put(line.strip())
        self.lines.put(None)

    def wait_frames(self, n):
        """Waits for n more frames; the last pose line."""
        for _ in range(n):
            try:
                line = self.lines.get(timeout=60)
            except queue.Empty:
                fail("orv-view showed no frame for 60 s")
            if line is None:
                fail(f"orv-view ended early: {self.process.wait()} {self.process.stderr.read()}")
            self.last = line
        return self.last

    def skip_shown(self):
        """Passes over the frames shown so far."""
        while True:
            try:
                line = self.lines.get_nowait()
            except queue.Empty:
                return
            if line is None:
                fail(f"orv-view ended early: {self.process.wait()} {self.process.stderr.read()}")
            self.last = line

    def pose(self):
        """The pose once the input so far has settled: the same in five frames in a row, after the
        frames shown before were passed over."""
        self.skip_shown()
        same = 0
        while same < 5:
            before = self.last
            line = self.wait_frames(1)
            same = same + 1 if line == before else 0
        values = [float(v) for v in line.split()]
        check(len(values) == 12, "a pose line holds twelve numbers: " + line)
        return values[0:4], values[4:8], values[8:12], line

    def longest_frame(self, start, end):
        """The longest time between two frames from a little before `start` to after `end`."""
        times = [t for t in self.arrivals if start - 0.5 <= t <= end + 0.5]
        return max((b - a for a, b in zip(times, times[1:])), default=0.5)

    def quit(self):
        """Quits with Escape; what orv-view said on stderr."""
        self.server.tool("xdotool", "key", "Escape")
        try:
            status = self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            fail("Escape did not quit orv-view")
        said = self.process.stderr.read()
        check(status == 0, f"orv-view quit with status {status}: {said}")
        return said


# --- geometry of poses ----------------------------------------------------------------------------

def dot(a, b):
    return sum(x * y for x, y in zip(a, b))


def same(*pairs):
    """Whether each pair of vectors agrees to rounding: the observer keeps its frame orthonormal
    after every move, which may change the last bits of what a move leaves in place."""
    return all(max(abs(u - v) for u, v in zip(a, b)) < 1e-12 for a, b in pairs)


def combo(a, x, b, y):
    return [a * p + b * q for p, q in zip(x, y)]


def det3(m):
    return (m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1])
            - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0])
            + m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]))


def right_of(position, forward, up):
    """The observer's right: orthogonal to the others, rows right, up, -forward, position of
    determinant 1."""
    rows = [up, [-v for v in forward], position]
    cofactors = []
    for column in range(4):
        minor = [[row[c] for c in range(4) if c != column] for row in rows]
        cofactors.append((-1) ** column * det3(minor))
    return cofactors


def turned(a, b, a2, what):
    """The angle by which a turned toward b to become a2, checking a2 lies in their plane."""
    angle = math.atan2(dot(a2, b), dot(a2, a))
    residual = max(abs(u - v) for u, v in zip(a2, combo(math.cos(angle), a, math.sin(angle), b)))
    check(residual < 1e-9, f"{what}: off the plane of the turn by {residual}")
    return angle


def expect_rate(angle, rate, held, viewer, what):
    # Holding a key moves per second. The viewer sees a key go down and up only between frames, so
    # the time it moves differs from the time this test held the key by up to a frame at each end,
    # and by the latency of the X server.
    start, end = held
    slack = 2 * viewer.longest_frame(start, end) + 0.05
    low, high = rate * max(end - start - slack, 0), rate * (end - start + slack)
    check(low < angle < high,
          f"{what}: {angle} rad in {end - start:.3f} s held at {rate} rad/s, not in "
          f"[{low}, {high}]")


# --- the cases ------------------------------------------------------------------------------------

def refusals(args):
    work = tempfile.mkdtemp(prefix="orv-view-refusals-")

    def file(name, data):
        path = os.path.join(work, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def npy(descr, shape, data, fortran=False):
        header = (f"{{'descr': '{descr}', 'fortran_order': {fortran}, 'shape': {shape}, }}")
        header += " " * (63 - (10 + len(header)) % 64) + "\n"
        return b"\x93NUMPY\x01\x00" + struct.pack("<H", len(header)) + header.encode() + data

    point = struct.pack("<4d", 0, 0, 0, 1)
    good = file("good.npy", npy("<f8", "(1, 4)", point))
    cases = {
        "an unknown option": ["--fly"],
        "a bad size": ["--size", "0x10"],
        "a screenshot into no folder": ["--screenshot", os.path.join(work, "none", "shot.png")],
        "no such file": ["--scene", os.path.join(work, "missing.npy")],
        "a truncated header": ["--scene", file("cut.npy", npy("<f8", "(1, 4)", point)[:20])],
        "truncated data": ["--scene", file("short.npy", npy("<f8", "(2, 4)", point))],
        "a huge shape": ["--scene",
                         file("huge.npy", npy("<f8", "(4611686018427387904, 4)", point))],
        "three columns": ["--scene", file("three.npy", npy("<f8", "(1, 3)", point[:24]))],
        "Fortran order": ["--scene", file("fortran.npy", npy("<f8", "(1, 4)", point, True))],
        "an object array": ["--scene", file("object.npy", npy("|O", "(1, 4)", point))],
        "a text NaN": ["--scene", file("nan.txt", b"0 0 0 1\nnan 0 0 1\n")],
        "a zero point": ["--scene", file("zero.txt", b"0 0 0 0\n")],
        "binary junk": ["--scene", file("junk.txt", bytes(range(256)) * 4)],
        "an edge out of range": ["--scene", good, "--edges",
                                 file("edge.npy", npy("<i8", "(1, 2)", struct.pack("<2q", 0, 1)))],
        "a negative edge": ["--scene", good, "--edges",
                            file("neg.npy", npy("<i4", "(1, 2)", struct.pack("<2i", 0, -1)))],
        "too few colours": ["--scene", good, "--colors",
                            file("colors.npy", npy("<f4", "(0, 3)", b""))],
        "colours of five channels": ["--scene", good, "--colors",
                                     file("five.npy", npy("<f4", "(1, 5)", b"\0" * 20))],
    }
    env = dict(os.environ)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER"):
        env.pop(name, None)
    runs = [(what, options, env) for what, options in cases.items()]
    # A good scene without a display, and with SDL's display-less driver.
    runs.append(("no display", ["--scene", good], env))
    # These two reach SDL, whose D-Bus library keeps memory to the end (see XServer).
    sdl_env = dict(env)
    if "ASAN_OPTIONS" in sdl_env:
        sdl_env["ASAN_OPTIONS"] += ":detect_leaks=0"
    runs.append(("the offscreen driver", ["--scene", good],
                 dict(sdl_env, SDL_VIDEODRIVER="offscreen")))
    runs.append(("an X display that is not there", ["--scene", good],
                 dict(sdl_env, DISPLAY=":65534")))
    for what, options, run_env in runs:
        done = subprocess.run([args.viewer, *options], env=run_env, capture_output=True, text=True,
                              timeout=60)
        lines = done.stderr.splitlines()
        check(done.returncode == 2, f"{what}: status {done.returncode}, stderr {done.stderr!r}")
        check(len(lines) == 1 and lines[0].startswith("orv-view: "),
              f"{what}: stderr is not one line: {done.stderr!r}")
        check(done.stdout == "", f"{what}: printed {done.stdout!r}")
    shutil.rmtree(work)
    print(f"{len(runs)} refusals, each one line and status 2")


def hold(server, key, seconds):
    start = time.monotonic()
    server.tool("xdotool", "keydown", key)
    time.sleep(seconds)
    server.tool("xdotool", "keyup", key)
    return start, time.monotonic()


def input_case(args, server):
    work = tempfile.mkdtemp(prefix="orv-view-input-")
    viewer = Viewer(server, args.viewer, "--scene", "hopf", cwd=work)
    server.tool("xdotool", "windowfocus", "--sync", viewer.window)
    p0, f0, u0, line0 = viewer.pose()
    check(line0 == viewer.first, "the pose changed without input")
    speed, turn = 0.25, 1.0

    # W: forward along the great circle ahead; up stays as it was.
    held = hold(server, "w", 0.4)
    p1, f1, u1, _ = viewer.pose()
    check(same((u1, u0)), "moving forward changed up")
    expect_rate(turned(p0, f0, p1, "forward"), speed, held, viewer, "W")
    turned(f0, [-v for v in p0], f1, "forward's turn with the position")

    # D: to the right; forward and up stay.
    r1 = right_of(p1, f1, u1)
    held = hold(server, "d", 0.4)
    p2, f2, u2, _ = viewer.pose()
    check(same((f2, f1), (u2, u1)), "moving right changed forward or up")
    expect_rate(turned(p1, r1, p2, "right"), speed, held, viewer, "D")

    # The right arrow: turn right in place.
    r2 = right_of(p2, f2, u2)
    held = hold(server, "Right", 0.3)
    p3, f3, u3, _ = viewer.pose()
    check(same((p3, p2), (u3, u2)), "turning right moved the observer or changed up")
    expect_rate(turned(f2, r2, f3, "yaw"), turn, held, viewer, "Right")

    # E: roll right, up turning toward right.
    r3 = right_of(p3, f3, u3)
    held = hold(server, "e", 0.3)
    p4, f4, u4, _ = viewer.pose()
    check(same((p4, p3), (f4, f3)), "rolling moved the observer or changed forward")
    expect_rate(turned(u3, r3, u4, "roll"), turn, held, viewer, "E")

    # Mouse drags: 40 pixels right turns right, then 30 up looks up, each by the horizontal angle
    # of view (75 degrees) per width, exactly.
    per_pixel = math.pi * 5.0 / 12.0 / WIDTH
    geometry = dict(line.split("=") for line in
                    server.tool("xdotool", "getwindowgeometry", "--shell", viewer.window)
                    .decode().split())
    x, y = int(geometry["X"]) + WIDTH // 2, int(geometry["Y"]) + HEIGHT // 2
    r4 = right_of(p4, f4, u4)
    server.tool("xdotool", "mousemove", str(x), str(y))
    viewer.pose()
    server.tool("xdotool", "mousedown", "1")
    server.tool("xdotool", "mousemove", "--sync", str(x + 40), str(y))
    server.tool("xdotool", "mouseup", "1")
    p5, f5, u5, _ = viewer.pose()
    check(same((p5, p4), (u5, u4)), "a drag across moved the observer or changed up")
    angle = turned(f4, r4, f5, "drag across")
    check(abs(angle - 40 * per_pixel) < 1e-9, f"a drag of 40 pixels turned by {angle} rad")
    server.tool("xdotool", "mousedown", "1")
    server.tool("xdotool", "mousemove", "--sync", str(x + 40), str(y - 30))
    server.tool("xdotool", "mouseup", "1")
    p6, f6, u6, _ = viewer.pose()
    check(same((p6, p5)), "a drag upward moved the observer")
    angle = turned(f5, u5, f6, "drag upward")
    check(abs(angle - 30 * per_pixel) < 1e-9, f"a drag of 30 pixels up pitched by {angle} rad")

    # R: back to the start, to the bit.
    server.tool("xdotool", "key", "r")
    check(viewer.pose()[3] == line0, "R did not return to the start pose")

    # P writes the frame into the folder the viewer runs in.
    server.tool("xdotool", "key", "p")
    shot = os.path.join(work, "orv-view-0000.png")
    deadline = time.monotonic() + 30
    while not os.path.exists(shot) and time.monotonic() < deadline:
        time.sleep(0.05)
    viewer.quit()
    check(os.path.exists(shot), "P wrote no orv-view-0000.png")
    with open(shot, "rb") as f:
        check(f.read(8) == b"\x89PNG\r\n\x1a\n", "P wrote no PNG file")
    shutil.rmtree(work)
    print("W, D, Right, E, drags, R and P moved and turned the observer and wrote as they say")


def xwd_pixels(data):
    """The RGB bytes of an xwd dump of a TrueColor window."""
    fields = struct.unpack(">25I", data[:100])
    (header_size, _, pixmap_format, _, width, height, _, byte_order, _, _, _, bits_per_pixel,
     bytes_per_line, _, red_mask, green_mask, blue_mask, _, _, ncolors) = fields[:20]
    check(pixmap_format == 2 and bits_per_pixel in (24, 32), "xwd gave no ZPixmap of 24 or 32 bits")
    offset = header_size + 12 * ncolors
    step = bits_per_pixel // 8
    order = "little" if byte_order == 0 else "big"
    shifts = [(mask, (mask & -mask).bit_length() - 1) for mask in (red_mask, green_mask, blue_mask)]
    out = bytearray()
    for row in range(height):
        base = offset + row * bytes_per_line
        for col in range(width):
            value = int.from_bytes(data[base + col * step: base + col * step + step], order)
            out.extend((value & mask) >> shift for mask, shift in shifts)
    return width, height, bytes(out)


def ppm_pixels(path):
    with open(path, "rb") as f:
        data = f.read()
    magic, width, height, maximum, pixels = data.split(maxsplit=4)
    check(magic == b"P6" and maximum == b"255", "viewer_frame wrote no 8-bit PPM")
    return int(width), int(height), pixels


def compare(grab, reference):
    """Pixels of the window that differ from the frame, and pixels of the frame that are lit."""
    width, height, shown = xwd_pixels(grab)
    ref_width, ref_height, rendered = ppm_pixels(reference)
    check((width, height) == (ref_width, ref_height),
          f"the window is {width}x{height}, the frame {ref_width}x{ref_height}")
    differ = sum(1 for i in range(0, len(shown), 3) if shown[i:i + 3] != rendered[i:i + 3])
    lit = sum(1 for i in range(0, len(rendered), 3) if rendered[i:i + 3] != b"\0\0\0")
    check(lit > width * height // 50, f"the frame is nearly black ({lit} pixels lit)")
    check(differ == 0, f"{differ} of {width * height} pixels of the window differ from the frame")
    return width, height, lit


def screen_case(args, server, device):
    options = ["--scene", "demo", "--points", "20000", "--device", device]
    work = tempfile.mkdtemp(prefix="orv-view-screen-")

    def render(width, height):
        reference = os.path.join(work, f"frame-{width}x{height}.ppm")
        made = subprocess.run([args.frame, reference, "--size", f"{width}x{height}", *options],
                              capture_output=True, text=True, timeout=120)
        if (made.returncode == 2 and device == "vulkan"
                and os.environ.get("ORV_REQUIRE_VULKAN") != "1"):
            raise Skip("no Vulkan device: " + made.stderr.strip(), viewer_fault=False)
        check(made.returncode == 0, f"viewer_frame failed: {made.stderr}")
        return reference, made

    reference, made = render(WIDTH, HEIGHT)
    env = dict(server.env, ORV_VULKAN_VALIDATION="1") if device == "vulkan" else server.env
    viewer = Viewer(server, args.viewer, *options, env=env)
    check(viewer.first == made.stdout.strip(),
          f"the viewer starts at {viewer.first}, the reference at {made.stdout.strip()}")
    viewer.wait_frames(2)
    grab = server.tool("xwd", "-silent", "-id", viewer.window)
    check(viewer.wait_frames(1) == viewer.first, "the pose changed without input")
    width, height, lit = compare(grab, reference)

    # Resized, the window shows the frame of its new size.
    smaller, _ = render(256, 144)
    server.tool("xdotool", "windowsize", "--sync", viewer.window, "256", "144")
    viewer.skip_shown()
    viewer.wait_frames(3)
    compare(server.tool("xwd", "-silent", "-id", viewer.window), smaller)
    said = viewer.quit()
    check(said == "", f"orv-view said on stderr: {said}")

    # --frames quits by itself after so many frames, and --screenshot then writes the last one: the
    # same PNG file as the frame's.
    shot = os.path.join(work, "shot.png")
    done = subprocess.run([args.viewer, "--pose", "--size", f"{WIDTH}x{HEIGHT}", "--frames", "3",
                           "--screenshot", shot, *options], env=env, capture_output=True,
                          text=True, timeout=120)
    check(done.returncode == 0 and done.stderr == "",
          f"--frames 3: status {done.returncode}, {done.stderr}")
    check(done.stdout.splitlines() == [made.stdout.strip()] * 3, "--frames 3 showed other frames")
    with open(shot, "rb") as a, open(reference[:-4] + ".png", "rb") as b:
        check(a.read() == b.read(), "--screenshot wrote another picture than the frame's")
    shutil.rmtree(work)
    print(f"the window shows the {device} device's frame: {width}x{height}, 0 pixels differ, "
          f"{lit} lit; --frames 3 --screenshot wrote it")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--viewer", required=True)
    parser.add_argument("--frame", required=True)
    parser.add_argument("case", choices=["refusals", "input", "screen.cpu", "screen.vulkan"])
    args = parser.parse_args()
    if args.case == "refusals":
        refusals(args)
        return
    try:
        if args.case == "screen.vulkan" and os.environ.get("ORV_SKIP_VULKAN") == "1":
            raise Skip("ORV_SKIP_VULKAN is set", viewer_fault=False)
        server = XServer()
        try:
            if args.case == "input":
                input_case(args, server)
            else:
                screen_case(args, server, args.case.split(".")[1])
        finally:
            server.close()
    except Skip as skip:
        if os.environ.get("ORV_REQUIRE_VIEWER") == "1" and skip.viewer_fault:
            fail(f"{skip}, and ORV_REQUIRE_VIEWER is set")
        print(f"skipped: {skip}")


if __name__ == "__main__":
    main()
