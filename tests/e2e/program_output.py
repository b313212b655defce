"""The program picture of a running OBS, as its recording holds it.

OBS records what it sends to its program output: in studio mode that is the
program side (with "Duplicate Scene" on, the program's private copy of the
scene), which obs-websocket's scene requests do not show. A Recording is
started and stopped through obs-websocket; its file is decoded with ffmpeg
into RGB frames, and each frame is read at named points of the canvas
(the mean of a small square around each), so that a test can tell the
colours of the program picture at known places, frame by frame.

Frames are tied to the steps of a test by a beacon: a small colour source
that sits in every scene and whose colour the test changes through
obs-websocket before each step. A colour source's settings are the
source's, shared by a scene and its program copy, so the beacon shows on
program at once whatever the scenes do; every frame then carries the number
of the step it belongs to.
"""

import os
import shutil
import subprocess
import time

FFMPEG = shutil.which("ffmpeg") or "ffmpeg"
# Half the side of the square averaged around each point, in pixels.
SPOT = 1
# Largest distance (Euclidean, in 8-bit RGB) at which a colour is taken for
# a named one: the encoding moves flat colours by a unit or two, while the
# colours that a test tells apart are at least 60 apart.
TOLERANCE = 40
BETWEEN = "mixed"
# Points this close to an edge of a shape (in pixels) are not judged: the
# scaler and the encoder blur edges.
EDGE = 6

# Beacon colours in step order: far apart from each other.
BEACON_CODES = (
    (0, 0, 0),
    (255, 255, 255),
    (255, 0, 0),
    (0, 255, 0),
    (0, 0, 255),
    (255, 255, 0),
    (0, 255, 255),
    (255, 0, 255),
    (128, 128, 128),
    (255, 128, 0),
    (0, 128, 255),
    (128, 0, 255),
)


def obs_color(rgb):
    """OBS's colour number (0xAABBGGRR, opaque) of an (r, g, b)."""
    r, g, b = rgb
    return 0xFF000000 | (b << 16) | (g << 8) | r


def distance(a, b):
    return sum((x - y) ** 2 for x, y in zip(a, b)) ** 0.5


def name_of(rgb, palette, tolerance=TOLERANCE):
    """The name of the palette's colour ({name: (r, g, b)}) nearest rgb when
    it is within tolerance; BETWEEN otherwise (a blend, an edge)."""
    name, colour = min(palette.items(), key=lambda entry: distance(rgb, entry[1]))
    return name if distance(rgb, colour) <= tolerance else BETWEEN


def collapse(values):
    """values without immediate repeats: [a, a, b, a] gives [a, b, a]."""
    collapsed = []
    for value in values:
        if not collapsed or collapsed[-1] != value:
            collapsed.append(value)
    return collapsed


class Recording:
    """One recording of the program output through obs-websocket (an
    ObsWebSocket of support), into the session's recordings folder.

    Use as a context manager: recording on entry; stopped on exit, once OBS
    has closed the file. path is the file afterwards."""

    def __init__(self, obs, folder, timeout=30.0):
        self.obs = obs
        self.folder = folder
        self.timeout = timeout
        self.path = None

    def __enter__(self):
        self.before = set(os.listdir(self.folder))
        self.obs.call("StartRecord")
        self._wait_for(lambda: self.obs.call("GetRecordStatus")["outputActive"], "recording to start")
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def stop(self):
        if self.path is not None:
            return self.path
        if self.obs.call("GetRecordStatus")["outputActive"]:
            self.obs.call("StopRecord")
        # The front end calls the recording stopped a little before libobs
        # has let go of the output and the file is complete.
        self._wait_for(
            lambda: not any(output["outputActive"] for output in self.obs.call("GetOutputList")["outputs"]),
            "the outputs to stop",
        )
        made = sorted(set(os.listdir(self.folder)) - self.before)
        if len(made) != 1:
            raise AssertionError("expected one new recording in %s, found %r" % (self.folder, made))
        self.path = os.path.join(self.folder, made[0])
        return self.path

    def _wait_for(self, condition, what):
        deadline = time.monotonic() + self.timeout
        while not condition():
            if time.monotonic() > deadline:
                raise AssertionError("timed out waiting for %s" % what)
            time.sleep(0.05)


def read_points(path, size, points):
    """Every video frame of a recording, in order, as {point name: (r, g, b)}
    for points {name: (x, y)} given in canvas pixels of size (width,
    height); the frames are scaled to that size while decoded."""
    width, height = size
    command = [
        FFMPEG, "-nostdin", "-v", "error", "-i", path, "-map", "0:v:0",
        "-vf", "scale=%d:%d" % (width, height), "-f", "rawvideo", "-pix_fmt", "rgb24", "-",
    ]
    frame_bytes = width * height * 3
    offsets = {}
    for name, (x, y) in points.items():
        offsets[name] = [
            ((y + dy) * width + (x + dx)) * 3
            for dy in range(-SPOT, SPOT + 1)
            for dx in range(-SPOT, SPOT + 1)
        ]
    frames = []
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as ffmpeg:
        while True:
            frame = ffmpeg.stdout.read(frame_bytes)
            if len(frame) < frame_bytes:
                break
            seen = {}
            for name, spots in offsets.items():
                count = len(spots)
                seen[name] = tuple(round(sum(frame[o + c] for o in spots) / count) for c in range(3))
            frames.append(seen)
        errors = ffmpeg.stderr.read().decode(errors="replace")
    if ffmpeg.returncode != 0 or not frames:
        raise AssertionError("ffmpeg could not decode %s (exit %s): %s" % (path, ffmpeg.returncode, errors))
    return frames


class Steps:
    """The frames of a recording grouped by the step the beacon showed.

    frames: as read_points gives them, with the beacon's point under
    "beacon". A frame whose beacon colour is unclear (the encoder's first
    frame of a change) joins the step before it. The steps must follow
    each other in order, each once; self.steps[k] lists step k's frames."""

    def __init__(self, frames):
        codes = {str(number): colour for number, colour in enumerate(BEACON_CODES)}
        self.steps = []
        order = []
        for frame in frames:
            code = name_of(frame["beacon"], codes)
            if code == BETWEEN:
                if not self.steps:
                    continue
                code = order[-1]
            if not order or order[-1] != code:
                order.append(code)
                self.steps.append([])
            self.steps[-1].append(frame)
        if order != [str(number) for number in range(len(order))]:
            raise AssertionError("the beacon went through steps %s, not 0, 1, 2, ... in turn" % order)

    def __len__(self):
        return len(self.steps)

    def last(self, step):
        """The last frame of a step: the picture it settled on."""
        return self.steps[step][-1]

    def all_frames(self):
        return [frame for frames in self.steps for frame in frames]


def grid(size, spacing):
    """Points {"x,y": (x, y)} spread over a canvas of size (width, height),
    spacing pixels apart, half a spacing in from the borders."""
    width, height = size
    half = spacing // 2
    return {
        "%d,%d" % (x, y): (x, y)
        for y in range(half, height, spacing)
        for x in range(half, width, spacing)
    }


class Picture:
    """What a picture should look like: a background colour (a name), and
    shapes over it, bottom first, each (colour name, (left, top, right,
    bottom)) in canvas pixels. A shape of colour None is not judged at all
    (a part of the picture the test does not look at)."""

    def __init__(self, background, *shapes):
        self.background = background
        self.shapes = shapes

    def colour_at(self, point):
        """The colour name the picture has at point, or None where it is
        not judged (in a None shape, or near an edge of any shape)."""
        x, y = point
        colour = self.background
        for name, (left, top, right, bottom) in self.shapes:
            near_edge = (
                left - EDGE <= x <= right + EDGE
                and top - EDGE <= y <= bottom + EDGE
                and min(abs(x - left), abs(x - right), abs(y - top), abs(y - bottom)) < EDGE
            )
            if near_edge:
                return None
            if left <= x <= right and top <= y <= bottom:
                colour = name
        return colour

    def differences(self, frame, points, palette):
        """Where frame (read_points) differs from the picture, summed up:
        ["red instead of blue at 12 points in x 24..216, y 72..168", ...]."""
        wrong = {}
        for name, point in points.items():
            wanted = self.colour_at(point)
            if wanted is None:
                continue
            seen = name_of(frame[name], palette)
            if seen != wanted:
                wrong.setdefault((seen, wanted), []).append(point)
        found = []
        for (seen, wanted), where in sorted(wrong.items()):
            xs = [x for x, _ in where]
            ys = [y for _, y in where]
            found.append(
                "%s instead of %s at %d point(s) in x %d..%d, y %d..%d"
                % (seen, wanted, len(where), min(xs), max(xs), min(ys), max(ys))
            )
        return found
