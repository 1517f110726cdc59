#!/usr/bin/python3
"""kestrune as a screen-reader user meets it: the real AT-SPI stack on a D-Bus session of its
own, a virtual X server, the keyboard alone (xdotool), the simulated display.

    atspi_access.py --kestrune PATH --sample-firmware PATH

Exit status: 0 every check passed, 1 a check failed, 77 the packages are missing (outside CI).
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77
PACKAGES = "xvfb dbus (dbus-run-session) at-spi2-core python3-pyatspi gir1.2-atspi-2.0 xdotool"
READY = "Kestrune is ready"
UPDATE_RUNNING = "A firmware update is running."

# Roles whose objects are things a user meets one by one: each needs a name of its own.
# Containers (filler, panel, menu bar, popup menu, scroll pane) and scroll bars are left out.
NAMED_ROLES = {
    "push button", "toggle button", "check box", "radio button", "text", "entry", "label",
    "menu item", "combo box", "slider", "spin button", "progress bar", "date editor",
    "status bar", "icon", "image", "page tab", "dialog", "alert", "frame", "menu",
}
# Fields that take input and so must be tied to the label that names them.
FIELD_ROLES = {"text", "entry", "date editor", "spin button", "slider", "combo box"}


def missing_tools():
    missing = [tool for tool in ("Xvfb", "dbus-run-session", "xdotool") if shutil.which(tool) is None]
    if not os.path.exists("/usr/libexec/at-spi-bus-launcher"):
        missing.append("at-spi-bus-launcher")
    probe = subprocess.run(["/usr/bin/python3", "-c", "import pyatspi"], capture_output=True)
    if probe.returncode != 0:
        missing.append("pyatspi")
    return missing


def outer(args):
    """Sets up the virtual X server and the private D-Bus session, then runs inner()."""
    missing = missing_tools() + ([args.window_manager] if args.window_manager and
                                 shutil.which(args.window_manager) is None else [])
    if missing:
        print("accessibility test: missing " + ", ".join(missing) + "; install " + PACKAGES)
        if os.environ.get("CI") or os.environ.get("KESTRUNE_CI"):
            return 1
        print("SKIPPED: the AT-SPI accessibility test needs these packages")
        return SKIP
    top = tempfile.mkdtemp(prefix="kestrune-atspi-")
    env = dict(os.environ)
    for key in ("DBUS_SESSION_BUS_ADDRESS", "AT_SPI_BUS_ADDRESS", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM",
                "KESTRUNE_SIM", "KESTRUNE_D2XX", "KESTRUNE_PROFILE", "KESTRUNE_REGISTRY"):
        env.pop(key, None)
    for key, sub in (("HOME", "home"), ("XDG_CONFIG_HOME", "config"), ("XDG_DATA_HOME", "data"),
                     ("XDG_CACHE_HOME", "cache"), ("XDG_RUNTIME_DIR", "run"), ("WORK", "work")):
        path = os.path.join(top, sub)
        os.makedirs(path, mode=0o700)
        env[key] = path
    read_fd, write_fd = os.pipe()
    wm = None
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1920x1080x24",
                             "-nolisten", "tcp", "-noreset"],
                            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_fd)
    try:
        number = b""
        deadline = time.time() + 20
        while not number.endswith(b"\n") and time.time() < deadline:
            chunk = os.read(read_fd, 16)
            if not chunk:
                break
            number += chunk
        if not number.strip():
            print("FAIL: Xvfb did not start")
            return 1
        env["DISPLAY"] = ":" + number.decode().strip()
        if args.window_manager:
            # With a window manager focus moves as on a desktop: a dialog gets it back only if
            # the program asks for it, which the bare server never shows.
            wm = subprocess.Popen([args.window_manager], env=env, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
            time.sleep(1)
        env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
        env["QT_ACCESSIBILITY"] = "1"
        env["GTK_MODULES"] = ""
        inner_cmd = ["dbus-run-session", "--", "/usr/bin/python3", os.path.abspath(__file__), "--inner",
                     "--kestrune", args.kestrune, "--sample-firmware", args.sample_firmware]
        try:
            return subprocess.run(inner_cmd, env=env, cwd=env["WORK"], timeout=170).returncode
        except subprocess.TimeoutExpired:
            print("FAIL: the accessibility test did not finish within 170 s")
            return 1
    finally:
        os.close(read_fd)
        if wm is not None:
            wm.terminate()
            try:
                wm.wait(5)
            except subprocess.TimeoutExpired:
                wm.kill()
        xvfb.terminate()
        try:
            xvfb.wait(5)
        except subprocess.TimeoutExpired:
            xvfb.kill()
        shutil.rmtree(top, ignore_errors=True)


class Checks:
    def __init__(self):
        self.failed = []

    def expect(self, ok, name, detail=""):
        print(("ok   " if ok else "FAIL ") + name + ("" if ok or not detail else ": " + detail), flush=True)
        if not ok:
            self.failed.append(name)
        return ok


class Session:
    """The program under test, seen through AT-SPI."""

    def __init__(self, pyatspi, glib, checks):
        self.at = pyatspi
        self.context = glib.MainContext.default()
        self.checks = checks
        self.events = []
        self.app = None
        # Not every kind: repaint and geometry events would only slow the program down.
        self.at.Registry.registerEventListener(
            self.on_event, "object:property-change", "object:state-changed", "object:text-changed",
            "object:value-changed", "window:activate", "window:deactivate")

    # -- events and waiting
    def on_event(self, event):
        try:
            source = event.source
            role = source.getRoleName() if source is not None else ""
            name = source.name if source is not None else ""
            parent = source.parent if source is not None else None
            parent_role = parent.getRoleName() if parent is not None else ""
        except Exception:  # the object went away meanwhile
            role, name, parent_role = "", "", ""
        data = event.any_data
        self.events.append({"time": time.time(), "type": event.type, "role": role, "name": name,
                            "parent": parent_role, "data": data if isinstance(data, str) else ""})

    def pump(self, seconds):
        end = time.time() + seconds
        while time.time() < end:
            while self.context.iteration(False):
                pass
            time.sleep(0.02)

    def wait(self, predicate, timeout=10.0):
        end = time.time() + timeout
        while True:
            self.pump(0.05)
            try:
                value = predicate()
            except Exception:  # objects come and go while the tree settles
                value = None
            if value or time.time() > end:
                return value

    def mark(self):
        return len(self.events)

    def since(self, mark, kind=None, role=None, name=None):
        return [e for e in self.events[mark:]
                if (kind is None or e["type"].startswith(kind)) and (role is None or e["role"] == role)
                and (name is None or e["name"] == name)]

    # -- keys
    def keys(self, *sequence, settle=0.25):
        for key in sequence:
            subprocess.run(["xdotool", "key", "--clearmodifiers", key], check=False)
            self.pump(settle)

    def popup_open(self):
        bar = self.find(self.main_frame(), "menu bar")
        return any(self.state(n, self.at.STATE_SHOWING) for n in self.descendants(bar, showing_only=False)
                   if n.getRoleName() == "popup menu")

    def choose(self, menu_key, item_key):
        """Opens a menu by its letter and picks an item by its own, once the menu is up (the
        program may be slow on a busy machine)."""
        for _ in range(3):
            self.keys(menu_key, settle=0.1)
            if self.wait(self.popup_open, 4):
                self.keys(item_key, settle=0.2)
                return True
            self.keys("Escape", "Escape")
        return False

    def pane_changes(self, mark):
        """Name changes of the status bar's message pane since mark."""
        return [e for e in self.since(mark, "object:property-change:accessible-name", "label")
                if e["parent"] == "status bar"]

    # -- the tree
    def find_app(self):
        for app in self.at.Registry.getDesktop(0):
            if app is not None and app.name == "kestrune":
                return app
        return None

    def windows(self):
        return [w for w in self.app if w is not None]

    def main_frame(self):
        for window in self.windows():
            if window.getRoleName() == "frame":
                return window
        return None

    def state(self, acc, state):
        return acc is not None and acc.getState().contains(state)

    def descendants(self, acc, showing_only=True):
        out = []
        stack = [acc]
        while stack:
            node = stack.pop()
            for i in range(node.childCount):
                child = node.getChildAtIndex(i)
                if child is None:
                    continue
                if showing_only and not self.state(child, self.at.STATE_SHOWING):
                    continue
                out.append(child)
                stack.append(child)
        return out

    def find(self, acc, role, name=None):
        for node in self.descendants(acc, showing_only=False):
            if node.getRoleName() == role and (name is None or node.name == name):
                return node
        return None

    def status_view(self):
        return self.find(self.main_frame(), "text", "Status")

    def status_bar(self):
        return self.find(self.main_frame(), "status bar")

    def message_pane(self):
        bar = self.status_bar()
        for i in range(bar.childCount):
            child = bar.getChildAtIndex(i)
            if child.getRoleName() == "label" and child.name not in ("Caps Lock", "Num Lock", "Scroll Lock"):
                return child
        return None

    def text_of(self, acc):
        text = acc.queryText()
        return text.getText(0, text.characterCount)

    def focus_home(self):
        """The main window active and the status view focused."""
        return self.state(self.main_frame(), self.at.STATE_ACTIVE) and \
            self.state(self.status_view(), self.at.STATE_FOCUSED)

    def focus_detail(self):
        """Where the focus is instead, for a failed check."""
        try:
            active = [w.name for w in self.windows() if self.state(w, self.at.STATE_ACTIVE)]
            focused = [(n.getRoleName(), n.name) for w in self.windows() for n in self.descendants(w)
                       if self.state(n, self.at.STATE_FOCUSED)]
            return f"active windows {active}, focused {focused[:3]}"
        except Exception as error:  # the tree changed meanwhile
            return str(error)

    def top_window(self, exclude):
        for window in self.windows():
            if window.getRoleName() in ("dialog", "alert", "file chooser") and window.name not in exclude and \
                    self.state(window, self.at.STATE_SHOWING):
                return window
        return None

    def open_boxes(self):
        """Names of the dialogs and boxes showing now."""
        return {w.name for w in self.windows()
                if w.getRoleName() != "frame" and self.state(w, self.at.STATE_SHOWING)}

    def new_window(self, before, timeout=8.0):
        return self.wait(lambda: self.top_window(before), timeout)

    # -- what a screen reader needs
    def mnemonics(self, acc):
        keys = set()
        try:
            action = acc.queryAction()
        except NotImplementedError:
            return keys
        for i in range(action.nActions):
            binding = action.getKeyBinding(i) or ""
            for part in binding.split(";"):
                if part.lower().startswith("alt+"):
                    keys.add(part.lower())
        return keys

    def unique_mnemonics(self, objects, where):
        seen = {}
        clashes = []
        for obj in objects:
            for key in self.mnemonics(obj):
                if key in seen:
                    clashes.append(f"{key}: '{seen[key]}' and '{obj.name}'")
                seen[key] = obj.name
        self.checks.expect(not clashes, f"mnemonics unique in {where}", "; ".join(clashes))

    def named_controls(self, window, where):
        problems = []
        if window.getRoleName() == "frame" and window.name != "Kestrune" and not window.name.startswith("Kestrune - "):
            problems.append(f"the main window is named '{window.name}', not its title")
        objects = self.descendants(window)
        labels = [o for o in objects if o.getRoleName() == "label"]
        for obj in objects:
            role = obj.getRoleName()
            name = obj.name or ""
            if role in ("unknown", "invalid"):
                problems.append(f"an object of role '{role}' named '{name}'")
            elif role == "frame":
                problems.append(f"a frame '{name}' inside the window")
            elif role in NAMED_ROLES and not any(c.isalnum() for c in name):
                problems.append(f"a {role} named '{name}'")
            # In a dialog a field is found by its label; read-only texts (the status view, a
            # report) need none.
            editable = role != "text" or self.state(obj, self.at.STATE_EDITABLE)
            if role in FIELD_ROLES and editable and window.getRoleName() == "dialog":
                label_names = [r.getTarget(0).name for r in obj.getRelationSet()
                               if r.getRelationType() == self.at.RELATION_LABELLED_BY]
                grouped = any(name.startswith(l.name + ", ") for l in labels if l.name)
                # Qt names a combo box on this platform by its choice and ties the label by
                # the relation alone, which is what a screen reader reads before the choice.
                related = role == "combo box" and any(label_names)
                if not any(name.startswith(l) for l in label_names if l) and not grouped and not related:
                    problems.append(f"the {role} '{name}' is not labelled by its label ({label_names})")
        self.checks.expect(not problems, f"every control of {where} has a role and a name", "; ".join(problems))
        self.unique_mnemonics([window] + objects, where)


def inner(args):
    checks = Checks()
    launcher = subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    probe = ["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
             "org.a11y.Bus.GetAddress"]
    end = time.time() + 20
    while subprocess.run(probe, capture_output=True).returncode != 0:
        if time.time() > end:
            print("FAIL: the accessibility bus did not start")
            return 1
        time.sleep(0.1)
    import pyatspi  # only now: it connects to the accessibility bus when loaded
    from gi.repository import GLib

    subprocess.run([args.sample_firmware, "--size", "6144", "heron-100.hex"], check=True,
                   stdout=subprocess.DEVNULL)
    # The serial-port test on a port that cannot be there, for a box rather than a timed-out read.
    profile = os.path.join(os.environ["XDG_CONFIG_HOME"], "kestrune")
    os.makedirs(profile, exist_ok=True)
    with open(os.path.join(profile, "kestrune.ini"), "w", newline="") as f:
        f.write("[Settings]\r\nPort=/nonexistent/kestrune-tty\r\n")
    # The --simulate display on a paced line: verdicts come at once, so only the line's own time
    # keeps an update long enough to watch its bar.
    simulator = os.path.join(os.environ["XDG_DATA_HOME"], "kestrune", "simulator")
    os.makedirs(simulator, exist_ok=True)
    with open(os.path.join(simulator, "simulator.ini"), "w") as f:
        f.write("[Converter]\nPresent=1\nSerialNumber=ZK000001\nChipType=9\n"
                "[Eeprom]\nVendorId=0x0403\nProductId=0xF208\nManufacturer=ZKM\nManufacturerId=ZK\n"
                "Description=Corvina Nova\nSerialNumber=ZK000001\n"
                "[UserArea]\nDeviceCode=98\nSerialNumber=0001.0001.001\nManufacturing=2024-03-04\n"
                "LastUpdate=2024-03-04\n[Display]\nRevision=1.00\n[BootLoader]\nResetAfterMs=1000\n"
                "[Link]\nPace=1\n")
    session = Session(pyatspi, GLib, checks)
    log = open("kestrune.log", "w")
    program = subprocess.Popen([args.kestrune, "--simulate", "--service"], stdout=log, stderr=log)
    try:
        run_checks(session, checks)
        stop(program)
        # A bench with a second converter: the start-up question, by keyboard, answered and cancelled.
        with open(os.path.join(simulator, "simulator.ini"), "a") as f:
            f.write("[Converter.2]\nSerialNumber=ZK000002\n")
        for cancel in (False, True):
            program = subprocess.Popen([args.kestrune, "--simulate"], stdout=log, stderr=log)
            run_chooser(session, checks, cancel)
            stop(program)
    finally:
        stop(program)
        launcher.terminate()
        log.close()
    if checks.failed:
        with open("kestrune.log") as f:
            tail = f.read()[-2000:]
        if tail.strip():
            print("--- kestrune's output\n" + tail)
        print(f"{len(checks.failed)} check(s) failed: " + ", ".join(checks.failed))
        return 1
    print("all accessibility checks passed")
    return 0


def stop(program):
    if program.poll() is None:
        program.terminate()
        try:
            program.wait(5)
        except subprocess.TimeoutExpired:
            program.kill()


def run_chooser(s, checks, cancel):
    at = s.at
    how = "cancelled" if cancel else "answered"
    s.app = None
    s.app = s.wait(s.find_app, 30)
    chooser = s.wait(lambda: next(w for w in s.windows() if w.name == "Choose the converter"
                                  and s.state(w, at.STATE_SHOWING)), 20) if s.app is not None else None
    if not checks.expect(chooser is not None, f"with two converters the program asks which one ({how})"):
        return
    ids = subprocess.run(["xdotool", "search", "--name", "^Choose the converter$"], capture_output=True,
                         text=True).stdout.split()
    if ids:
        subprocess.run(["xdotool", "windowfocus", "--sync", ids[0]], check=False)
    rows = s.wait(lambda: s.find(chooser, "list", "Converter to use"), 5)
    focused = s.wait(lambda: s.state(rows, at.STATE_FOCUSED) or any(
        s.state(n, at.STATE_FOCUSED) for n in s.descendants(rows)), 5)
    checks.expect(bool(focused), "the converter list has the focus", "")
    s.named_controls(chooser, "the converter chooser")
    if cancel:
        s.keys("Escape", settle=0.5)
        shown = s.wait(lambda: "No converter is chosen" in s.text_of(s.status_view()), 10)
        checks.expect(bool(shown), "after a cancel the status view says no converter is chosen",
                      f"'{s.text_of(s.status_view())[:120] if s.status_view() else None}'")
        checks.expect(bool(s.wait(s.focus_home, 8)), "after the chooser closes the status view has the focus")
        return
    s.keys("Down", settle=0.5)
    selected = [n.name for n in s.descendants(rows) if s.state(n, at.STATE_SELECTED)]
    serial = selected[0].split(",")[0].replace("Serial ", "") if selected else ""
    checks.expect(serial.startswith("ZK"), "an arrow moves to a row that reads its serial", f"selected {selected}")
    s.keys("Return", settle=0.5)
    ready = s.wait(lambda: s.text_of(s.status_view()).startswith(READY + " - "), 20)
    checks.expect(bool(ready) and ("serial:" + serial) in s.text_of(s.status_view()),
                  "the ready line names the converter chosen",
                  f"'{s.text_of(s.status_view())[:160] if s.status_view() else None}'")


def run_checks(s, checks):
    s.app = s.wait(s.find_app, 30)
    if not checks.expect(s.app is not None, "the program appears on the accessibility bus"):
        return
    ready = s.wait(lambda: s.status_view() is not None and s.text_of(s.status_view()).startswith(READY + " - "), 20)
    if not checks.expect(bool(ready), "the ready line is in the status view"):
        return
    # The window manager's part: give the window the focus, as a desktop does for a new window.
    window_ids = subprocess.run(["xdotool", "search", "--name", "^Kestrune$"], capture_output=True,
                                text=True).stdout.split()
    if window_ids:
        subprocess.run(["xdotool", "windowfocus", "--sync", window_ids[0]], check=False)
    checks.expect(bool(s.wait(s.focus_home, 10)), "at start-up the main window is active and the status view focused")

    frame = s.main_frame()
    s.named_controls(frame, "the main window")
    menu_bar = s.find(frame, "menu bar")
    s.unique_mnemonics([menu_bar.getChildAtIndex(i) for i in range(menu_bar.childCount)], "the menu bar")
    service_has_mnemonics = True
    for i in range(menu_bar.childCount):
        menu = menu_bar.getChildAtIndex(i)
        items = [n for n in s.descendants(menu, showing_only=False) if n.getRoleName() == "menu item"]
        without = [n.name for n in items if not s.mnemonics(n)]
        checks.expect(not without, f"every item of the {menu.name} menu has a mnemonic", ", ".join(without))
        s.unique_mnemonics(items, f"the {menu.name} menu")
        if menu.name == "Service":
            service_has_mnemonics = not without
            separators = [n for n in s.descendants(menu, showing_only=False) if n.getRoleName() == "separator"]
            checks.expect(len(separators) >= 2, "the Service menu is grouped by separators", f"{len(separators)} separators")

    # The lock keys are not touched: their panes must stay silent.
    mark = s.mark()
    s.pump(5)
    noise = [e for e in s.since(mark) if e["name"] in ("Caps Lock", "Num Lock", "Scroll Lock")]
    checks.expect(not noise, "no event from the lock indicators over 5 s without a key change",
                  f"{len(noise)} events, e.g. {noise[0]['type']}" if noise else "")

    # The status bar's message: its text is its name, and each change is told once.
    pane = s.message_pane()
    checks.expect(pane is not None and pane.name == READY, "the status bar message is readable",
                  f"its name is '{pane.name if pane else None}'")
    # Each phase counts once the pane shows its text and the events have had time to come. On a
    # busy machine the menu can close again at once (Alt's release taken as a second press):
    # that attempt does not count.
    for _ in range(3):
        s.pump(0.5)
        mark = s.mark()
        s.keys("alt+f", settle=0.2)
        prompt_seen = s.wait(lambda: s.popup_open() and s.message_pane().name == "Quit the application", 4)
        s.pump(0.5)
        if prompt_seen and s.popup_open():
            break
        s.keys("Escape", "Escape")
        s.wait(lambda: s.message_pane().name == READY, 4)
    on_prompt = len(s.pane_changes(mark))
    mark = s.mark()
    s.keys("Escape", "Escape", settle=0.2)
    idle_seen = s.wait(lambda: s.message_pane().name == READY, 4)
    s.pump(0.5)
    on_idle = len(s.pane_changes(mark))
    checks.expect(bool(prompt_seen) and bool(idle_seen) and on_prompt == 1 and on_idle == 1,
                  "a menu prompt in the status bar is told once, and so is the idle text after it",
                  f"prompt shown {bool(prompt_seen)}, told {on_prompt} times; idle text shown "
                  f"{bool(idle_seen)}, told {on_idle} times")
    checks.expect(bool(s.wait(s.focus_home, 5)), "after the menu closes the status view has the focus")

    # Every dialog, reached from the keyboard; after each the focus is back in the status view.
    if checks.expect(service_has_mnemonics, "the Service menu can be worked from the keyboard"):
        visits = [
            (("alt+h", "a"), "About Kestrune", ("Return",)),
            (("alt+s", "u"), "USB Settings", ("Escape",)),
            (("alt+s", "d"), "Corvina II Device Settings", ("Escape",)),
            (("alt+s", "c"), "Test Device Controls", ("Escape",)),
            (("alt+s", "i"), "Corvina II Device Information", ("Escape",)),
            (("alt+s", "p"), "Kestrune Error", ("Return",)),  # the port cannot be opened
            (("alt+s", "g"), "Kestrune Error", ("Return",)),  # the serial number generated
            (("alt+s", "s"), None, ("Return",)),              # save settings: file dialog
            (("alt+s", "l"), None, ("Return",)),              # load them again
        ]
        for keys, title, close in visits:
            visit_dialog(s, checks, keys, title, close)
    # The bench's windows, always on the menu.
    for keys, title in ((("alt+p", "r"), "Run Unit"), (("alt+p", "h"), "History"),
                        (("alt+p", "b"), "Backups"), (("alt+p", "d"), "Diagnostics")):
        visit_dialog(s, checks, keys, title, ("Escape",))

    run_update(s, checks)


def visit_dialog(s, checks, keys, title, close):
    at = s.at
    before = s.open_boxes()
    window = None
    for _ in range(2):
        if s.choose(*keys):
            window = s.new_window(before)
        if window is not None:
            break
        s.keys("Escape", "Escape")
        s.wait(s.focus_home, 3)
    what = title or (window.name if window else "file dialog")
    if not checks.expect(window is not None, f"'{what}' opens from the keyboard ({' '.join(keys)})"):
        return
    s.wait(lambda: s.state(window, at.STATE_ACTIVE), 3)
    s.pump(0.5)
    mark = s.mark()
    if title is not None:
        checks.expect(window.name == title, f"the window opened is '{title}'", f"it is '{window.name}'")
        s.named_controls(window, f"'{title}'")
        if title == "Test Device Controls":
            slider = s.find(window, "slider")
            value = int(slider.queryValue().currentValue)
            labels = [r.getTarget(0).name for r in slider.getRelationSet()
                      if r.getRelationType() == at.RELATION_LABELLED_BY]
            checks.expect(str(value) in labels, "the firmness slider's value is shown in a label tied to it",
                          f"value {value}, labels {labels}")
    # (Qt's own file dialog starts in the current folder with the default name: Return takes it.)
    s.keys(*close, settle=0.5)
    checks.expect(bool(s.wait(s.focus_home, 8)), f"after '{what}' closes the status view has the focus",
                  s.focus_detail())
    if title is None:
        shown = s.wait(lambda: s.message_pane().name.startswith("Settings "), 3)
        s.pump(0.5)
        told = len(s.pane_changes(mark))
        checks.expect(bool(shown) and told == 1, "the settings-file message is readable in the status bar and told once",
                      f"now '{s.message_pane().name}', told {told} times")


def run_update(s, checks):
    at = s.at
    before = s.open_boxes()
    chooser = None
    for _ in range(2):
        chooser = s.new_window(before) if s.choose("alt+o", "u") else None
        if chooser is not None:
            break
        s.keys("Escape", "Escape")
    if not checks.expect(chooser is not None, "Options > Update... opens the file dialog from the keyboard"):
        return
    s.pump(0.5)
    mark = s.mark()
    s.keys("Return", settle=0.1)

    samples = []  # (active, focused, value, title) while the progress bar is there
    end = time.time() + 60
    result = None
    while time.time() < end:
        s.pump(0.1)
        try:
            frame = s.main_frame()
            bar = s.find(s.status_bar(), "progress bar")
            result = s.top_window(before)
            if result is not None and result.getRoleName() == "alert":
                break
            if bar is not None and s.state(bar, at.STATE_SHOWING):
                sample = (s.state(frame, at.STATE_ACTIVE), s.state(s.status_view(), at.STATE_FOCUSED),
                          bar.queryValue().currentValue, frame.name)
                # A box that came up meanwhile (the result) took the focus for good reason.
                if not s.open_boxes():
                    samples.append(sample)
        except Exception:
            continue
    if not checks.expect(len(samples) >= 5, "the update runs with a progress bar", f"{len(samples)} samples"):
        return
    # The first moments belong to the closing file dialog.
    settled = samples[3:]
    inactive = sum(1 for a, f, v, t in settled if not a)
    unfocused = sum(1 for a, f, v, t in settled if not f)
    checks.expect(inactive == 0 and unfocused == 0,
                  "during the run the main window is active and the status view focused",
                  f"of {len(settled)} samples {inactive} inactive, {unfocused} without focus: "
                  f"{[(round(v), a, f) for a, f, v, t in settled]}")
    # A value read while the bar is being taken down can be garbage; the bar counts in whole steps.
    values = [v for a, f, v, t in samples if 0 <= v <= 100 and v == int(v)]
    # On a busy machine few samples are taken: it is enough that the value went up, never down.
    rising = all(b >= a for a, b in zip(values, values[1:])) and len(set(values)) >= 2
    checks.expect(rising, "the progress bar's value rises", f"values {sorted(set(values))[:12]}...")
    titles = {t for a, f, v, t in samples}
    checks.expect(all(t == "Kestrune" or t.startswith("Kestrune - ") for t in titles),
                  "the window title names the program during the run", f"{sorted(titles)[:5]}")

    # One write, one insertion: no text is inserted twice in a row.
    inserts = [e["data"] for e in s.since(mark, "object:text-changed:insert", "text", "Status")]
    doubles = [a for a, b in zip(inserts, inserts[1:]) if a == b]
    checks.expect(len(inserts) >= 3 and not doubles, "each status-view write is told with one insertion",
                  f"{len(inserts)} insertions, {len(doubles)} repeated, e.g. {doubles[:2]}")

    if not checks.expect(result is not None, "after the run a box with the result appears",
                         f"windows: {[(w.getRoleName(), w.name) for w in s.windows()]}, status view: "
                         f"'{s.text_of(s.status_view())[:80]}'"):
        return
    s.pump(0.5)
    boxes = [w for w in s.windows() if w.getRoleName() in ("alert", "dialog") and s.state(w, at.STATE_SHOWING)]
    texts = [n.name for n in s.descendants(result) if n.getRoleName() == "label"]
    checks.expect(len(boxes) == 1 and result.getRoleName() == "alert" and "Firmware successfully updated." in texts,
                  "after the run one alert tells the result", f"{len(boxes)} boxes, texts {texts}")
    s.named_controls(result, "the result box")
    mark = s.mark()
    s.keys("Return", settle=0.5)
    checks.expect(bool(s.wait(s.focus_home, 5)), "after the result box closes the status view has the focus")
    s.wait(lambda: s.text_of(s.status_view()).startswith(READY), 5)
    s.pump(1.0)
    ready_told = [e for e in s.since(mark, "object:text-changed:insert", "text", "Status")
                  if e["data"].startswith(READY + " - ")]
    checks.expect(len(ready_told) == 1, "the ready line after the run is told once", f"{len(ready_told)} insertions")
    frame = s.main_frame()
    checks.expect(frame.name == "Kestrune", "the title is 'Kestrune' again after the run", f"it is '{frame.name}'")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kestrune", required=True)
    parser.add_argument("--sample-firmware", required=True)
    parser.add_argument("--inner", action="store_true")
    parser.add_argument("--window-manager", default="", help="run this window manager on the server (openbox)")
    args = parser.parse_args()
    args.kestrune = os.path.abspath(args.kestrune)
    args.sample_firmware = os.path.abspath(args.sample_firmware)
    return inner(args) if args.inner else outer(args)


if __name__ == "__main__":
    sys.exit(main())
