#!/usr/bin/python3
"""Run OBS Studio headless, with a private configuration: Debian's OBS 29,
or the OBS that TESSIL_OBS_BINARY names (see ObsHost).

An ObsSession lays out a fresh configuration root (HOME, XDG_CONFIG_HOME),
seeds OBS's global.ini, one profile and one scene collection, optionally
installs a plug-in folder and its config.json, starts its own Xvfb and then
/usr/bin/obs as a child process, and stops OBS the way a user does: by
closing the main window (WM_DELETE_WINDOW), so that modules unload and OBS
logs its leak count.

Used by the end-to-end tests (import it with scripts/ on sys.path) and by
scripts/run-obs.sh (python3 scripts/obs_session.py serve ...).

The session does not isolate the network: run the whole test process inside
its own network namespace (scripts/in-netns.sh) when ports must not collide.
"""

import argparse
import configparser
import ctypes
import json
import os
import re
import secrets
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

XVFB_BINARY = "Xvfb"


class ObsHost:
    """The OBS application a session runs: Debian's OBS 29 unless
    TESSIL_OBS_BINARY names another (such as /opt/obs-30.2.3/bin/obs).

    What differs between hosts lives here: where the binary is, its version,
    how its settings are seeded and how obs-websocket is configured."""

    def __init__(self, binary=None):
        self.binary = binary or os.environ.get("TESSIL_OBS_BINARY") or "/usr/bin/obs"
        text = subprocess.run(
            [self.binary, "--version"], capture_output=True, text=True, timeout=30, check=True
        ).stdout
        match = re.search(r"(\d+)\.(\d+)\.(\d+)", text)
        if not match:
            raise RuntimeError("cannot read the version of %s: %r" % (self.binary, text))
        self.version = tuple(int(part) for part in match.groups())

    @property
    def version_text(self):
        return "%d.%d.%d" % self.version

    @property
    def last_version(self):
        """LIBOBS_API_VER of this version: with FirstRun=true it keeps the
        first-run wizard and the what's-new dialog away."""
        major, minor, patch = self.version
        return (major << 24) | (minor << 16) | patch

    @property
    def splits_settings(self):
        """From OBS 31 on the user's settings are in user.ini, apart from
        the application's in global.ini."""
        return self.version >= (31, 0, 0)

    @property
    def frontend_errors_before_unload(self):
        """How many "Tried to call obs_frontend_..." error lines OBS itself
        logs as its main window goes at exit, right before modules unload:
        OBS 32's audio mixer dock removes its front-end callback after the
        API is gone."""
        return 1 if self.version >= (32, 0, 0) else 0

    @property
    def leaves_a_scene_at_exit(self):
        """OBS 32's own clearing of the scene data at exit now and then skips
        scenes of the collection, which libobs then frees at the very end,
        with leaks and now and then a crash (see obs_exit_leak); seen without
        this plug-in too. Sessions in such a host log at debug level, so that
        the sources left over can be named."""
        return self.version >= (32, 0, 0)

    @property
    def websocket_in_plugin_config(self):
        """From OBS 30 on obs-websocket reads its own config.json; OBS 29's
        reads global.ini."""
        return self.version >= (30, 0, 0)


_current_host = None


def current_host():
    """The host of this process's sessions (read once)."""
    global _current_host
    if _current_host is None:
        _current_host = ObsHost()
    return _current_host
PLUGIN_NAME = "tessil-link"
LINK_PORT = 47841
WEBSOCKET_PORT = 4455

STARTUP_COMPLETE = r"==== Startup complete"
SHUTTING_DOWN = "==== Shutting down"
LEAKS = r"Number of memory leaks: (\d+)"
FREEING_CONTEXT = "Freeing OBS context data"
NOT_CLEARED = "Not all sources were cleared when clearing scene data"
CLOSE_RETRY_SECONDS = 2.0
LISTEN_LINE = r"\[tessil-link\] waiting for Tessil on (ws://\S+)"
LISTEN_FAILED = r"\[tessil-link\] cannot listen on port \d+ \(.*\)"

# OBS's rtmp-services module fetches its service list from the internet at
# load. A proxy on a closed loopback port makes libcurl fail at once without
# a DNS lookup or a packet leaving the machine; loopback stays direct.
OFFLINE_ENV = {
    name: "http://127.0.0.1:9"
    for name in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY")
}
OFFLINE_ENV.update(no_proxy="127.0.0.1,localhost,::1", NO_PROXY="127.0.0.1,localhost,::1")


def loaded_scenes(log):
    """{scene name: [names of its sources]} from OBS's "Loaded scenes" list."""
    scenes = {}
    current = None
    lines = log.splitlines()
    start = next((i for i, line in enumerate(lines) if line.endswith("Loaded scenes:")), None)
    if start is None:
        return scenes
    for line in lines[start + 1 :]:
        scene = re.search(r"- scene '(.*)':$", line)
        source = re.search(r"- source: '(.*)' \(", line)
        if scene:
            current = scene.group(1)
            scenes[current] = []
        elif source and current is not None:
            scenes[current].append(source.group(1))
        elif line.endswith("-" * 48):
            break
    return scenes


def sources_not_cleared(log):
    """The names OBS lists under "Not all sources were cleared"."""
    names = []
    lines = log.splitlines()
    start = next((i for i, line in enumerate(lines) if NOT_CLEARED in line), None)
    if start is None:
        return names
    for line in lines[start + 1 :]:
        if not line.strip():
            if names:
                break
            continue
        if not line.startswith("- "):
            break
        names.append(line[2:])
    return names


def obs_exit_leak(log, leaks, exit_code=0):
    """Tells OBS 32's own exit leak from any other, in a debug-level log.

    OBS's clearing of the scene data at exit now and then stops early and
    skips the collection's remaining scenes; libobs frees them, and the
    sources only they held, after "Freeing OBS context data". OBS logs the
    inputs it could not clear, the leak count varies with what is left, and
    now and then OBS crashes while freeing them, before it logs the count.
    The leak is OBS's when the clearing freed some scenes of the collection
    OBS loaded and skipped others, and nothing freed after that point or
    named as not cleared is a cleared scene or a source loaded only into
    cleared scenes. A crash (a non-zero exit code) is
    explained only when no leak count was logged. Returns the skipped
    scenes, or None."""
    if leaks is None:
        if exit_code == 0:
            return None
    elif exit_code != 0 or leaks == 0:
        return None
    lines = log.splitlines()
    start = next((i for i, line in enumerate(lines) if FREEING_CONTEXT in line), None)
    if start is None:
        return None
    before = "\n".join(lines[:start])
    tail = "\n".join(lines[start:])
    scenes = loaded_scenes(log)
    cleared = [name for name in scenes if "debug: source '%s' destroyed" % name in before]
    skipped = [name for name in scenes if name not in cleared]
    # The clearing ran (and is logged at debug level) and stopped early.
    if not cleared or not skipped:
        return None
    # A source the collection loaded only into scenes that were cleared was
    # held by something else. A name the collection did not load (renamed
    # or added while OBS ran) cannot be told apart, and counts as the
    # skipped scenes'.
    held_by_skipped = {item for name in skipped for item in scenes[name]}
    loaded_elsewhere = {item for name in cleared for item in scenes[name]} - held_by_skipped
    left = set(re.findall(r"debug: source '(.*)' destroyed", tail)) | set(sources_not_cleared(log))
    if not left or left & (set(cleared) | loaded_elsewhere):
        return None
    return skipped


class ObsError(RuntimeError):
    pass


# ---------------------------------------------------------------------------
# Scene collection JSON
# ---------------------------------------------------------------------------


def color_source(name, width=320, height=180, color=0xFF804020):
    """A colour source (cheap to draw); color is OBS's 0xAABBGGRR."""
    return {
        "id": "color_source_v3",
        "versioned_id": "color_source_v3",
        "name": name,
        "settings": {"color": color, "width": width, "height": height},
    }


def scene_item(source_name, item_id, **fields):
    """A scene item. libobs defaults the scale to 0, so it is always given."""
    item = {
        "name": source_name,
        "id": item_id,
        "visible": True,
        "locked": False,
        "pos": {"x": 0.0, "y": 0.0},
        "scale": {"x": 1.0, "y": 1.0},
        "rot": 0.0,
        "align": 5,
        "bounds_type": 0,
        "bounds_align": 0,
        "bounds": {"x": 0.0, "y": 0.0},
    }
    item.update(fields)
    return item


def scene(name, items=()):
    items = list(items)
    return {
        "id": "scene",
        "versioned_id": "scene",
        "name": name,
        "settings": {
            "custom_size": False,
            "id_counter": max([item["id"] for item in items], default=0),
            "items": items,
        },
    }


def collection(scenes, sources=(), name="Test", current=None, groups=()):
    """A scene collection: scenes in order, then the sources they hold.

    OBS drops sources that no scene holds when it loads the collection.
    """
    current = current or scenes[0]["name"]
    return {
        "name": name,
        "current_scene": current,
        "current_program_scene": current,
        "current_transition": "Fade",
        "transition_duration": 300,
        "transitions": [],
        "scene_order": [{"name": s["name"]} for s in scenes],
        "sources": list(scenes) + list(sources),
        "groups": list(groups),
    }


# Profile settings (ObsSession's profile_ini) that enable the replay buffer
# of the simple output mode, encoded with x264 (always there, needs no GPU).
REPLAY_BUFFER_PROFILE = {
    "SimpleOutput": {
        "RecRB": True,
        "RecRBTime": 10,
        "RecRBSize": 64,
        "RecQuality": "Stream",
        "StreamEncoder": "x264",
        "RecEncoder": "x264",
    },
}


def default_collection():
    """Two scenes: "Scene" with one colour source, and an empty "Scene 2"."""
    return collection(
        [scene("Scene", [scene_item("Colour", 1)]), scene("Scene 2")],
        [color_source("Colour")],
    )


# ---------------------------------------------------------------------------
# Processes
# ---------------------------------------------------------------------------

_PR_SET_PDEATHSIG = 1


def _die_with_parent():
    """Runs in the child before exec: its own session, SIGTERM if we die."""
    os.setsid()
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)
    except OSError:
        pass


def end_process(proc, grace=5.0):
    """SIGTERM, then SIGKILL; returns the name of the last signal sent."""
    if proc.poll() is not None:
        return None
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(grace)
        return "SIGTERM"
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        return "SIGKILL"


class Xvfb:
    """An Xvfb server on the first free display number from 200 on.

    Free means no lock file: Xvfb's lock files in /tmp are the one record
    shared by all network namespaces (its abstract socket is per namespace,
    the socket file in /tmp/.X11-unix is not). -displayfd is not used, since
    with it Xvfb takes no lock and a second namespace gets the same number.
    """

    def __init__(self, size="1280x800x24", first=200, attempts=20):
        self.proc = None
        self.errors = None
        number = first
        for _ in range(attempts):
            while os.path.exists("/tmp/.X%d-lock" % number) or os.path.exists("/tmp/.X11-unix/X%d" % number):
                number += 1
            if self._start(number, size):
                self.display = ":%d" % number
                return
            number += 1  # taken by someone else meanwhile, or Xvfb failed
        raise ObsError("Xvfb did not start: " + self.error_text())

    def _start(self, number, size, timeout=10.0):
        if self.errors is not None:
            self.errors.close()
        self.errors = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(
            [XVFB_BINARY, ":%d" % number, "-noreset", "-nolisten", "tcp", "-screen", "0", size],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=self.errors,
            preexec_fn=_die_with_parent,
        )
        deadline = time.monotonic() + timeout
        while self.proc.poll() is None and time.monotonic() < deadline:
            # Xvfb writes its lock before it opens its sockets; clients that
            # connect from then on wait in the listen queue.
            if os.path.exists("/tmp/.X11-unix/X%d" % number) and self._lock_pid(number) == self.proc.pid:
                return True
            time.sleep(0.01)
        end_process(self.proc)
        return False

    @staticmethod
    def _lock_pid(number):
        try:
            with open("/tmp/.X%d-lock" % number) as f:
                return int(f.read().strip() or 0)
        except (OSError, ValueError):
            return None

    @property
    def pid(self):
        return self.proc.pid

    def error_text(self):
        if self.errors is None or self.errors.closed:
            return ""
        self.errors.seek(0)
        return self.errors.read().decode(errors="replace")

    def stop(self):
        end_process(self.proc)
        self.errors.close()


# ---------------------------------------------------------------------------
# X11: finding the main window and closing it
# ---------------------------------------------------------------------------


def _process_tree(pid):
    """pid and all its descendants (OBS may run under a wrapper such as strace)."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry, "rb") as f:
                fields = f.read().rsplit(b")", 1)[1].split()
        except OSError:
            continue
        children.setdefault(int(fields[1]), []).append(int(entry))
    tree, todo = set(), [pid]
    while todo:
        current = todo.pop()
        tree.add(current)
        todo.extend(children.get(current, ()))
    return tree


def _windows_of(display, pids):
    """Top-level windows of some processes: (window, title, viewable)."""
    from Xlib import X, Xatom

    net_wm_pid = display.intern_atom("_NET_WM_PID")
    net_wm_name = display.intern_atom("_NET_WM_NAME")
    utf8 = display.intern_atom("UTF8_STRING")
    found = []
    for window in display.screen().root.query_tree().children:
        try:
            prop = window.get_full_property(net_wm_pid, Xatom.CARDINAL)
            if not prop or prop.value[0] not in pids:
                continue
            name = window.get_full_property(net_wm_name, utf8)
            title = name.value.decode("utf-8", "replace") if name else (window.get_wm_name() or "")
            if isinstance(title, bytes):
                title = title.decode("utf-8", "replace")
            viewable = window.get_attributes().map_state == X.IsViewable
        except Exception:  # the window went away meanwhile
            continue
        found.append((window, title, viewable))
    return found


def find_main_window(display, pids):
    """OBS's main window: viewable, titled "OBS <version> - Profile: ..."."""
    for window, title, viewable in _windows_of(display, pids):
        if viewable and re.match(r"OBS .* - Profile: ", title):
            return window
    return None


def find_window(display, pids, title):
    """A viewable top-level window of some processes with exactly this
    title (a dialog such as OBS's "No Sources" question), or None."""
    for window, window_title, viewable in _windows_of(display, pids):
        if viewable and window_title == title:
            return window
    return None


def send_delete_window(display, window):
    from Xlib import X
    from Xlib.protocol import event

    protocols = display.intern_atom("WM_PROTOCOLS")
    delete = display.intern_atom("WM_DELETE_WINDOW")
    message = event.ClientMessage(
        window=window, client_type=protocols, data=(32, [delete, X.CurrentTime, 0, 0, 0])
    )
    window.send_event(message, event_mask=X.NoEventMask)
    display.flush()


# ---------------------------------------------------------------------------
# The session
# ---------------------------------------------------------------------------


def _write_ini(path, sections):
    parser = configparser.RawConfigParser()
    parser.optionxform = str  # OBS's keys are case-sensitive
    for section, values in sections.items():
        parser.add_section(section)
        for key, value in values.items():
            if isinstance(value, bool):
                value = "true" if value else "false"
            parser.set(section, key, str(value))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        parser.write(f, space_around_delimiters=False)


def _merge(base, extra):
    merged = {section: dict(values) for section, values in base.items()}
    for section, values in (extra or {}).items():
        merged.setdefault(section, {}).update(values)
    return merged


class ObsSession:
    """One OBS process with a private configuration root.

    plugin_dir     a plug-in folder laid out as OBS wants it
                   (<name>/bin/64bit/<name>.so, <name>/data/...), copied into
                   the private plugins folder; None runs stock OBS.
    plugin_config  written as the plug-in's config.json before the first
                   start: a dict (as JSON), or str/bytes (as they are).
    collection     scene collection dict (default_collection() if None).
    websocket      enable obs-websocket on websocket_port; it listens on every
                   interface, so without websocket_password it is open to
                   anyone who can reach the machine unless the caller runs
                   in its own network namespace.
    display        an X display to use; None starts a private Xvfb.
    global_ini, profile_ini
                   {section: {key: value}} merged over the defaults.
    stream_service the profile's streaming service, e.g. {"type":
                   "rtmp_custom", "settings": {"server": ..., "key": ...}}.
    obs_args       extra command line arguments for OBS.
    wrapper        command prefix, e.g. ["strace", "-f", "-o", "trace.txt"].
    keep_root      keep the configuration root after close().
    host           the ObsHost to run; by default current_host().

    Use as a context manager (start on enter; stop and remove the root on
    exit), or call start(), stop() and close() yourself. start() may be
    called again after stop(): the root and its files stay as OBS left them.
    """

    def __init__(
        self,
        plugin_dir=None,
        plugin_config=None,
        collection=None,
        websocket=False,
        websocket_port=WEBSOCKET_PORT,
        websocket_password=None,
        display=None,
        global_ini=None,
        profile_ini=None,
        stream_service=None,
        obs_args=(),
        wrapper=(),
        keep_root=False,
        root=None,
        host=None,
    ):
        self.plugin_dir = os.path.abspath(plugin_dir) if plugin_dir else None
        self.plugin_name = os.path.basename(self.plugin_dir.rstrip("/")) if plugin_dir else PLUGIN_NAME
        self.initial_plugin_config = plugin_config
        self.collection = dict(collection) if collection is not None else default_collection()
        self.collection.setdefault("name", "Test")
        self.websocket = websocket
        self.websocket_port = websocket_port
        self.websocket_password = websocket_password
        self.external_display = display
        self.extra_global_ini = global_ini
        self.extra_profile_ini = profile_ini
        self.stream_service = stream_service
        self.obs_args = list(obs_args)
        self.wrapper = list(wrapper)
        self.keep_root = keep_root
        self.host = host or current_host()

        self.root = os.path.abspath(root or tempfile.mkdtemp(prefix="obs-session-"))
        self.home = os.path.join(self.root, "home")
        self.config_home = os.path.join(self.home, ".config")
        self.obs_config = os.path.join(self.config_home, "obs-studio")
        self.plugins_dir = os.path.join(self.obs_config, "plugins")
        self.plugin_config_dir = os.path.join(self.obs_config, "plugin_config", self.plugin_name)
        self.plugin_config_path = os.path.join(self.plugin_config_dir, "config.json")
        self.token_path = os.path.join(self.config_home, "tessil", "link-token.txt")
        self.recordings_dir = os.path.join(self.root, "recordings")
        self.collection_name = self.collection["name"]
        self.collection_path = os.path.join(self.obs_config, "basic", "scenes", self.collection_name + ".json")
        self.profile_name = "Test"

        self.prepared = False
        self.xvfb = None
        self.display = None
        self.proc = None
        self.runs = 0
        self.output_path = None
        self.exit_code = None
        self.forced = None  # signal name when stop() had to kill OBS
        self.close_requests = 0
        self.final_log = ""
        self.start_seconds = None
        self.stop_seconds = None

    # -- configuration ------------------------------------------------------

    def prepare(self):
        """Write the configuration root. Done once, by the first start()."""
        if self.prepared:
            return
        for folder in (self.home, self.config_home, self.recordings_dir):
            os.makedirs(folder, exist_ok=True)
        os.makedirs(os.path.join(self.root, "runtime"), mode=0o700, exist_ok=True)

        host = self.host
        global_ini = {
            "General": {"FirstRun": True, "LastVersion": host.last_version},
            "Basic": {
                "Profile": self.profile_name,
                "ProfileDir": self.profile_name,
                "SceneCollection": self.collection_name,
                "SceneCollectionFile": self.collection_name,
            },
            "BasicWindow": {"PreviewEnabled": False},
            "OBSWebSocket": {
                "FirstLoad": False,
                "ServerEnabled": self.websocket,
                "ServerPort": self.websocket_port,
                "AuthRequired": bool(self.websocket_password),
                "ServerPassword": self.websocket_password or "",
                "AlertsEnabled": False,
            },
        }
        global_ini = _merge(global_ini, self.extra_global_ini)
        if host.splits_settings:
            # The application keeps [General] LastVersion; the rest is the
            # user's. A LastVersion below 31 would make OBS migrate.
            user_ini = {name: values for name, values in global_ini.items() if name != "General"}
            user_ini["General"] = {"FirstRun": True}
            global_ini = {"General": {"LastVersion": host.last_version, "EnableAutoUpdates": False}}
            _write_ini(os.path.join(self.obs_config, "user.ini"), user_ini)
        _write_ini(os.path.join(self.obs_config, "global.ini"), global_ini)
        if host.websocket_in_plugin_config:
            websocket_dir = os.path.join(self.obs_config, "plugin_config", "obs-websocket")
            os.makedirs(websocket_dir, exist_ok=True)
            with open(os.path.join(websocket_dir, "config.json"), "w", encoding="utf-8") as f:
                json.dump(
                    {
                        "first_load": False,
                        "server_enabled": self.websocket,
                        "server_port": self.websocket_port,
                        "alerts_enabled": False,
                        "auth_required": bool(self.websocket_password),
                        "server_password": self.websocket_password or "",
                    },
                    f,
                )

        profile = {
            "General": {"Name": self.profile_name},
            "Video": {
                "BaseCX": 1280,
                "BaseCY": 720,
                "OutputCX": 1280,
                "OutputCY": 720,
                "FPSType": 0,
                "FPSCommon": 30,
            },
            "Audio": {"SampleRate": 48000, "ChannelSetup": "Stereo"},
            "Output": {"Mode": "Simple"},
            "SimpleOutput": {"FilePath": self.recordings_dir, "RecFormat": "mkv"},
        }
        profile_path = os.path.join(self.obs_config, "basic", "profiles", self.profile_name, "basic.ini")
        _write_ini(profile_path, _merge(profile, self.extra_profile_ini))
        if self.stream_service is not None:
            with open(os.path.join(os.path.dirname(profile_path), "service.json"), "w", encoding="utf-8") as f:
                json.dump(self.stream_service, f)

        os.makedirs(os.path.dirname(self.collection_path), exist_ok=True)
        with open(self.collection_path, "w", encoding="utf-8") as f:
            json.dump(self.collection, f, indent=1)

        if self.plugin_dir:
            self.install_plugin(self.plugin_dir)
        if self.initial_plugin_config is not None:
            self.write_plugin_config(self.initial_plugin_config)
        self.prepared = True

    def install_plugin(self, plugin_dir):
        name = os.path.basename(plugin_dir.rstrip("/"))
        library = os.path.join(plugin_dir, "bin", "64bit", name + ".so")
        if not os.path.isfile(library):
            # OBS skips a folder whose name differs from its .so without a word.
            raise ObsError("not a plug-in folder (no %s)" % library)
        target = os.path.join(self.plugins_dir, name)
        shutil.rmtree(target, ignore_errors=True)
        shutil.copytree(plugin_dir, target)

    def write_plugin_config(self, config):
        os.makedirs(self.plugin_config_dir, exist_ok=True)
        if isinstance(config, dict):
            config = json.dumps(config, indent=4)
        mode = "wb" if isinstance(config, bytes) else "w"
        with open(self.plugin_config_path, mode) as f:
            f.write(config)

    # -- files the plug-in writes ------------------------------------------

    def token(self):
        """The token file's content, as bytes are decoded (no stripping)."""
        with open(self.token_path, "rb") as f:
            return f.read().decode("utf-8")

    def plugin_config(self):
        with open(self.plugin_config_path, "rb") as f:
            return json.loads(f.read().decode("utf-8"))

    def saved_collection(self):
        with open(self.collection_path, encoding="utf-8") as f:
            return json.load(f)

    # -- running ------------------------------------------------------------

    def environment(self):
        env = {
            key: value
            for key, value in os.environ.items()
            if key not in ("WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_SESSION_TYPE", "SESSION_MANAGER")
            and not key.startswith("OBS_")
        }
        env.update(OFFLINE_ENV)
        env.update(
            HOME=self.home,
            XDG_CONFIG_HOME=self.config_home,
            XDG_DATA_HOME=os.path.join(self.home, ".local", "share"),
            XDG_CACHE_HOME=os.path.join(self.home, ".cache"),
            XDG_RUNTIME_DIR=os.path.join(self.root, "runtime"),
            DISPLAY=self.display,
            QT_QPA_PLATFORM="xcb",
            LC_ALL="C.UTF-8",
        )
        return env

    def command(self):
        # --multi: no "already running" question (its check is per network
        # namespace). Not --disable-missing-files-check: in OBS 29 it leaks one
        # allocation whenever a scene collection is loaded.
        args = list(self.obs_args)
        if self.host.leaves_a_scene_at_exit and "--verbose" not in args:
            args.append("--verbose")
        return self.wrapper + [self.host.binary, "--multi"] + args

    def start(self, wait=True, timeout=60.0):
        """Start Xvfb (unless a display was given) and OBS.

        With wait, returns once OBS logged "Startup complete".
        """
        if self.running():
            raise ObsError("OBS is already running")
        self.prepare()
        begin = time.monotonic()
        if self.external_display:
            self.display = self.external_display
        else:
            self.xvfb = Xvfb()
            self.display = self.xvfb.display
        self.runs += 1
        self.output_path = os.path.join(self.root, "obs-output-%d.txt" % self.runs)
        self.exit_code = None
        self.forced = None
        self.close_requests = 0
        self.final_log = ""
        with open(self.output_path, "wb") as output:
            self.proc = subprocess.Popen(
                self.command(),
                cwd=self.home,
                env=self.environment(),
                stdin=subprocess.DEVNULL,
                stdout=output,
                stderr=subprocess.STDOUT,
                preexec_fn=_die_with_parent,
            )
        if wait:
            try:
                self.wait_for_log(STARTUP_COMPLETE, timeout)
            except ObsError:
                self.stop(timeout=10)
                raise
        self.start_seconds = time.monotonic() - begin
        return self

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    @property
    def pid(self):
        return self.proc.pid if self.proc else None

    def log_text(self, run=None):
        """Everything OBS wrote to stdout and stderr in this (or a given) run."""
        path = self.output_path if run is None else os.path.join(self.root, "obs-output-%d.txt" % run)
        if not path or not os.path.exists(path):
            return self.final_log if run in (None, self.runs) else ""
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def log_tail(self, lines=40):
        return "\n".join(self.log_text().splitlines()[-lines:])

    def obs_log_files(self):
        """OBS's own log files (obs-studio/logs), oldest first."""
        folder = os.path.join(self.obs_config, "logs")
        if not os.path.isdir(folder):
            return []
        return [os.path.join(folder, name) for name in sorted(os.listdir(folder))]

    def wait_for_log(self, pattern, timeout=30.0, start=0):
        """Wait until this run's log matches pattern (from offset start).

        Returns the re.Match. Raises ObsError on timeout or when OBS exits
        without having logged it.
        """
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        while True:
            exited = self.proc is None or self.proc.poll() is not None
            match = regex.search(self.log_text(), start)
            if match:
                return match
            if exited:
                raise ObsError(
                    "OBS exited (%s) before logging %r\n%s" % (self.proc and self.proc.returncode, pattern, self.log_tail())
                )
            if time.monotonic() > deadline:
                raise ObsError("%r not logged within %.0f s\n%s" % (pattern, timeout, self.log_tail()))
            time.sleep(0.02)

    def leak_count(self):
        """The "Number of memory leaks" of this run, or None if not logged."""
        match = re.search(LEAKS, self.log_text())
        return int(match.group(1)) if match else None

    def obs_exit_leak(self):
        """The scenes OBS itself left over at exit in this run (a list of
        names), when they explain the leaks logged (or the crash that kept
        them from being logged); None otherwise."""
        if not self.host.leaves_a_scene_at_exit:
            return None
        return obs_exit_leak(self.log_text(), self.leak_count(), self.exit_code)

    def leaks_of_ours(self):
        """The leak count, less a leak that is OBS's own (obs_exit_leak)."""
        return 0 if self.obs_exit_leak() else self.leak_count()

    def main_window(self, display):
        return find_main_window(display, _process_tree(self.proc.pid))

    def window_titled(self, title, timeout=10.0):
        """Waits until OBS shows a top-level window with this exact title;
        returns whether it did within timeout."""
        from Xlib import display as xdisplay

        connection = xdisplay.Display(self.display)
        try:
            deadline = time.monotonic() + timeout
            while self.running():
                if find_window(connection, _process_tree(self.proc.pid), title) is not None:
                    return True
                if time.monotonic() > deadline:
                    return False
                time.sleep(0.05)
            return False
        finally:
            connection.close()

    def close_window(self, title, timeout=10.0):
        """Closes OBS's window of this title as a window manager's close
        button does (WM_DELETE_WINDOW), and waits until it is gone. Returns
        False when there was no such window, or it stayed."""
        from Xlib import display as xdisplay

        connection = xdisplay.Display(self.display)
        try:
            window = find_window(connection, _process_tree(self.proc.pid), title)
            if window is None:
                return False
            send_delete_window(connection, window)
            deadline = time.monotonic() + timeout
            while self.running() and time.monotonic() < deadline:
                if find_window(connection, _process_tree(self.proc.pid), title) is None:
                    return True
                time.sleep(0.05)
            return not self.running()
        finally:
            connection.close()

    def stop(self, timeout=30.0):
        """Close OBS's main window and wait for OBS to exit, then stop Xvfb.

        The close is sent again every few seconds until OBS logs that it is
        shutting down (a close can be refused while OBS is busy). When OBS
        has not exited within timeout, it is killed (SIGTERM, then SIGKILL)
        and self.forced names the signal. Returns OBS's exit code.
        """
        begin = time.monotonic()
        deadline = begin + timeout
        try:
            if self.running():
                self._close_main_window(deadline)
                try:
                    self.proc.wait(max(0.1, deadline - time.monotonic()))
                except subprocess.TimeoutExpired:
                    windows = self._describe_windows()
                    self.forced = end_process(self.proc)
                    print(
                        "obs_session: OBS did not exit within %.0f s after %d close request(s); "
                        "killed with %s. Its windows were: %s" % (timeout, self.close_requests, self.forced, windows),
                        file=sys.stderr,
                    )
            if self.proc is not None:
                self.exit_code = self.proc.wait()
                self.final_log = self.log_text()  # still there after close()
        finally:
            if self.xvfb is not None:
                self.xvfb.stop()
                self.xvfb = None
        self.stop_seconds = time.monotonic() - begin
        return self.exit_code

    def _close_main_window(self, deadline):
        from Xlib import display as xdisplay

        connection = xdisplay.Display(self.display)
        last_request = None
        try:
            while self.running() and time.monotonic() < deadline:
                if SHUTTING_DOWN in self.log_text():
                    return
                now = time.monotonic()
                if last_request is None or now - last_request > CLOSE_RETRY_SECONDS:
                    window = self.main_window(connection)
                    if window is not None:
                        send_delete_window(connection, window)
                        self.close_requests += 1
                        last_request = now
                time.sleep(0.02)
        finally:
            connection.close()

    def _describe_windows(self):
        from Xlib import display as xdisplay

        try:
            connection = xdisplay.Display(self.display)
        except Exception as error:
            return "(no display: %s)" % error
        try:
            return ", ".join(
                "%r%s" % (title, "" if viewable else " (hidden)")
                for _, title, viewable in _windows_of(connection, _process_tree(self.proc.pid))
            )
        finally:
            connection.close()

    def close(self):
        """Stop if running and remove the configuration root (unless kept)."""
        if self.running() or self.xvfb is not None:
            self.stop()
        if not self.keep_root:
            shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False


# ---------------------------------------------------------------------------
# Command line: python3 obs_session.py serve --plugin DIR [--seconds N]
# ---------------------------------------------------------------------------


def _serve(args):
    stop_requested = threading.Event()

    def on_signal(signum, frame):
        stop_requested.set()

    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)

    # Here OBS shares the machine's network: obs-websocket gets a password.
    session = ObsSession(
        plugin_dir=args.plugin,
        websocket=args.websocket,
        websocket_password=secrets.token_urlsafe(12) if args.websocket else None,
        keep_root=args.keep,
        display=args.display,
    )
    ok = True
    try:
        print("Starting OBS (private configuration in %s)" % session.root, flush=True)
        session.start(timeout=args.timeout)
        if args.plugin:
            match = session.wait_for_log(LISTEN_LINE + "|" + LISTEN_FAILED, args.timeout)
            if match.group(1) is None:
                print("The plug-in is loaded but not listening: " + match.group(0), flush=True)
                ok = False
            else:
                print("Tessil Link: " + match.group(1), flush=True)
                print("Token file:  " + session.token_path, flush=True)
                try:
                    print("Token:       " + session.token(), flush=True)
                except OSError as error:
                    print("Token:       (unreadable: %s)" % error, flush=True)
        if args.websocket:
            print(
                "obs-websocket: ws://127.0.0.1:%d password %s" % (session.websocket_port, session.websocket_password),
                flush=True,
            )
        print("OBS log:     " + session.output_path, flush=True)
        if ok:
            if args.seconds is not None:
                print("Stopping in %g s" % args.seconds, flush=True)
            else:
                print("Press Ctrl-C to stop OBS", flush=True)
            deadline = None if args.seconds is None else time.monotonic() + args.seconds
            while not stop_requested.is_set() and session.running():
                remaining = None if deadline is None else deadline - time.monotonic()
                if remaining is not None and remaining <= 0:
                    break
                stop_requested.wait(0.2 if remaining is None else min(0.2, remaining))
            if not session.running():
                print("OBS exited by itself", flush=True)
                ok = False
    except ObsError as error:
        print(str(error), file=sys.stderr, flush=True)
        ok = False
    finally:
        print("Stopping OBS", flush=True)
        session.stop()
        leaks = session.leak_count()
        own_leak = session.obs_exit_leak()
        print("OBS exit code: %s" % session.exit_code, flush=True)
        if session.forced:
            print("OBS had to be killed (%s)" % session.forced, flush=True)
            ok = False
        if leaks == 0:
            print("Number of memory leaks: 0 (clean)", flush=True)
        elif own_leak:
            print(
                "Number of memory leaks: %d (OBS's own: it left scene(s) %s to libobs at exit)"
                % (leaks, ", ".join(own_leak)),
                flush=True,
            )
        else:
            print("Number of memory leaks: %s" % ("not logged" if leaks is None else leaks), flush=True)
            ok = False
        if args.plugin and "[%s] Tessil Link unloaded" % session.plugin_name not in session.log_text():
            print("The plug-in did not log its unload", flush=True)
            ok = False
        if args.keep:
            print("Kept " + session.root, flush=True)
        session.close()
    return 0 if ok else 1


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    serve = commands.add_parser("serve", help="run OBS headless with a plug-in until interrupted")
    serve.add_argument("--plugin", help="plug-in folder (<name>/bin/64bit/<name>.so); none: stock OBS")
    serve.add_argument("--seconds", type=float, help="stop by itself after this many seconds")
    serve.add_argument("--websocket", action="store_true", help="enable obs-websocket on port 4455 with a new password")
    serve.add_argument("--display", help="use this X display instead of a private Xvfb")
    serve.add_argument("--timeout", type=float, default=60.0, help="start-up timeout in seconds")
    serve.add_argument("--keep", action="store_true", help="keep the private configuration root")
    args = parser.parse_args(argv)
    return _serve(args)


if __name__ == "__main__":
    sys.exit(main())
