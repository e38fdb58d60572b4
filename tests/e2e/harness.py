"""Runs the real updater in a scratch installation, natively or under Wine.

Each Installation is a program folder with the updater and its two libraries copied in, an
optional config/log folder, and (on Linux) a home of its own for the registry file, the
application-data folder and the named-mutex lock files. Under Wine the registry and the named
objects belong to the shared prefix, so those tests run one at a time.
"""

import glob
import os
import re
import shutil
import subprocess
import tempfile

BIN_DIR = os.environ.get("PALLATON_BIN_DIR", "")
TARGET = os.environ.get("PALLATON_TARGET", "linux")
WINDOWS = TARGET == "windows"
CACHE = os.environ.get("PALLATON_CACHE", "/var/cache/pallaton")
WINEPREFIX = os.environ.get("PALLATON_WINEPREFIX", os.path.join(CACHE, "wine"))

EXE_SUFFIX = ".exe" if WINDOWS else ""
UPDATER = "PallatonUpdater" + EXE_SUFFIX
LOG_LIBRARY = "Log.dll" if WINDOWS else "libLog.so"
UTILITY_LIBRARY = "Utility.dll" if WINDOWS else "libUtility.so"
CLIENT_KEY = r"Software\Korvane\Pallaton"
LOG_NAME = re.compile(r"^\d{8}_\d{9}_PLTNUpdater\.log$")


def bin_path(name):
    return os.path.join(BIN_DIR, name)


def exit_code(returncode):
    """The signed 32-bit exit code: -1 arrives as 255 through the shell and through Wine."""
    return returncode - 256 if returncode > 127 else returncode


def host_env(extra=None):
    env = dict(os.environ)
    if WINDOWS:
        env.update({"WINEPREFIX": WINEPREFIX, "WINEDEBUG": "-all"})
    env.update(extra or {})
    return env


def command(program, args):
    return (["wine", program] if WINDOWS else [program]) + list(args)


class Result:
    def __init__(self, completed):
        self.code = exit_code(completed.returncode)
        self.stdout = completed.stdout
        self.stderr = completed.stderr


class Installation:
    def __init__(self, test, folder_name="Pallaton", log_folder=True, log_library=True):
        self.root = tempfile.mkdtemp(prefix="pallaton-e2e-")
        test.addCleanup(shutil.rmtree, self.root, True)
        self.program_folder = os.path.join(self.root, folder_name)
        os.makedirs(self.program_folder)
        names = [UPDATER, UTILITY_LIBRARY] + ([LOG_LIBRARY] if log_library else [])
        for name in names:
            shutil.copy2(bin_path(name), self.program_folder)
        self.log_folder = os.path.join(self.program_folder, "config", "log")
        if log_folder:
            os.makedirs(self.log_folder)
        self.home = os.path.join(self.root, "home")
        for sub in ("config", "data", "runtime", "tmp"):
            os.makedirs(os.path.join(self.home, sub))
        self.registry = Registry(self)
        if WINDOWS:
            self.registry.clear()
            test.addCleanup(self.registry.clear)

    @property
    def updater(self):
        return os.path.join(self.program_folder, UPDATER)

    def env(self, extra=None):
        own = {}
        if not WINDOWS:
            own = {
                "HOME": self.home,
                "XDG_CONFIG_HOME": os.path.join(self.home, "config"),
                "XDG_DATA_HOME": os.path.join(self.home, "data"),
                "XDG_RUNTIME_DIR": os.path.join(self.home, "runtime"),
                "TMPDIR": os.path.join(self.home, "tmp"),
            }
        own.update(extra or {})
        return host_env(own)

    def run(self, *args, timeout=120):
        completed = subprocess.run(command(self.updater, args), env=self.env(),
                                   capture_output=True, text=True, timeout=timeout,
                                   stdin=subprocess.DEVNULL, errors="replace")
        return Result(completed)

    def start_tool(self, name, *args):
        """Starts a tool of the build in this installation's environment, reading stdin."""
        return subprocess.Popen(command(bin_path(name + EXE_SUFFIX), args), env=self.env(),
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def log_files(self):
        if not os.path.isdir(self.log_folder):
            return []
        return sorted(n for n in os.listdir(self.log_folder) if n.endswith("_PLTNUpdater.log"))

    def log_text(self):
        """The text of the one log file of the last run."""
        files = self.log_files()
        if not files:
            return ""
        with open(os.path.join(self.log_folder, files[-1]), encoding="utf-8") as log:
            return log.read()

    def log_lines(self):
        """The messages of the log, without the common prefix."""
        return [line[len("TessaryMicroClient: "):] if line.startswith("TessaryMicroClient: ")
                else line for line in self.log_text().splitlines()]

    def statistics(self):
        path = os.path.join(self.log_folder, "statistics.log")
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8") as spool:
            return spool.read().splitlines()


class Registry:
    """HKEY_CURRENT_USER of an installation: the .reg file on Linux, the prefix under Wine."""

    def __init__(self, installation):
        self.installation = installation

    @property
    def hive(self):
        return os.path.join(self.installation.home, "config", "Korvane", "HKEY_CURRENT_USER.reg")

    def _reg(self, *args):
        subprocess.run(["wine", "reg"] + list(args), env=host_env(), capture_output=True,
                       timeout=60, check=False)

    def clear(self):
        if WINDOWS:
            self._reg("delete", r"HKCU\Software\Korvane", "/f")
        elif os.path.exists(self.hive):
            os.remove(self.hive)

    def import_text(self, text):
        """Imports regedit text ("Windows Registry Editor Version 5.00" and sections)."""
        if WINDOWS:
            path = os.path.join(self.installation.root, "import.reg")
            with open(path, "w", encoding="utf-16") as reg:
                reg.write(text)
            self._reg("import", path)
        else:
            os.makedirs(os.path.dirname(self.hive), exist_ok=True)
            with open(self.hive, "w", encoding="utf-8") as reg:
                reg.write(text)

    def set_strings(self, key, values):
        lines = ["Windows Registry Editor Version 5.00", "", "[HKEY_CURRENT_USER\\%s]" % key]
        for name, value in values.items():
            escaped = value.replace("\\", "\\\\").replace('"', '\\"')
            lines.append('"%s"="%s"' % (name, escaped))
        self.import_text("\r\n".join(lines) + "\r\n")
