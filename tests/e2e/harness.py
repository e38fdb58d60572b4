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
import struct
import subprocess
import tempfile

BIN_DIR = os.environ.get("PALLATON_BIN_DIR", "")
TARGET = os.environ.get("PALLATON_TARGET", "linux")
WINDOWS = TARGET == "windows"
CACHE = os.environ.get("PALLATON_CACHE", "/var/cache/pallaton")
WINEPREFIX = os.environ.get("PALLATON_WINEPREFIX", os.path.join(CACHE, "wine"))

EXE_SUFFIX = ".exe" if WINDOWS else ""
UPDATER = "PallatonUpdater" + EXE_SUFFIX
# The updater of a build that pins its roots, with its service at https://127.0.0.1:18328.
HTTPS_TEST_UPDATER = "PallatonUpdaterHttpsTest" + EXE_SUFFIX
# The PEM of the root that build pins (empty when it pins none); its key lies beside it.
TEST_ROOT = os.environ.get("PALLATON_TEST_ROOT", "")
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
    """The environment of a run: ours, with `extra` on top (a value of None removes the name)."""
    env = dict(os.environ)
    if WINDOWS:
        env.update({"WINEPREFIX": WINEPREFIX, "WINEDEBUG": "-all"})
    env.update(extra or {})
    return {name: value for name, value in env.items() if value is not None}


def command(program, args):
    return (["wine", program] if WINDOWS else [program]) + list(args)


class Result:
    def __init__(self, completed):
        self.code = exit_code(completed.returncode)
        self.stdout = completed.stdout
        self.stderr = completed.stderr


class Installation:
    """`program` names another program of the build to install as the updater (a test build
    with another service address: HTTPS_TEST_UPDATER, or the proxy tests' program), which is
    installed under UPDATER's name all the same."""

    def __init__(self, test, folder_name="Pallaton", log_folder=True, log_library=True,
                 program=None):
        self.test = test
        self.root = tempfile.mkdtemp(prefix="pallaton-e2e-")
        test.addCleanup(shutil.rmtree, self.root, True)
        self.program_folder = os.path.join(self.root, folder_name)
        os.makedirs(self.program_folder)
        names = [UTILITY_LIBRARY] + ([LOG_LIBRARY] if log_library else [])
        for name in names:
            shutil.copy2(bin_path(name), self.program_folder)
        shutil.copy2(bin_path(program or UPDATER), os.path.join(self.program_folder, UPDATER))
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
                # No display: windows and message boxes stay off; tests that want them set it.
                "DISPLAY": "",
            }
        own.update(extra or {})
        return host_env(own)

    def run(self, *args, timeout=120, env=None):
        """Runs the updater with `args`; `env` changes its environment (see host_env)."""
        completed = subprocess.run(command(self.updater, args), env=self.env(env),
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

    def clear_log(self):
        """Removes the log files, so that the next run's log is read alone."""
        for name in self.log_files():
            os.unlink(os.path.join(self.log_folder, name))

    def log_text(self):
        """The text of the one log file of the last run."""
        files = self.log_files()
        if not files:
            return ""
        with open(os.path.join(self.log_folder, files[-1]), encoding="utf-8") as log:
            text = log.read()
        # The stand-in library writes this for a call that crossed the binary interface wrongly.
        self.test.assertNotIn("malformed log call", text)
        return text

    def log_lines(self):
        """The messages of the log, without the common prefix."""
        return [line[len("TessaryMicroClient: "):] if line.startswith("TessaryMicroClient: ")
                else line for line in self.log_text().splitlines()]

    def statistics(self):
        path = os.path.join(self.log_folder, "statistics.log")
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8") as spool:
            lines = spool.read().splitlines()
        self.test.assertFalse([line for line in lines if line.startswith("malformed record")],
                              "the statistics library received a malformed record")
        return lines


class Registry:
    """HKEY_CURRENT_USER of an installation: the .reg file on Linux, the prefix under Wine."""

    def __init__(self, installation):
        self.installation = installation
        self.sections = {}

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

    def query(self, key, name):
        """The text of a value as regedit shows it ("dword:00000001", a string), or None."""
        if WINDOWS:
            out = subprocess.run(["wine", "reg", "query", "HKCU\\" + key, "/v", name],
                                 env=host_env(), capture_output=True, text=True, timeout=60,
                                 errors="replace").stdout
            for line in out.splitlines():
                parts = line.split(None, 2)
                if len(parts) == 3 and parts[0].lower() == name.lower():
                    kind, data = parts[1], parts[2]
                    return "dword:%08x" % int(data, 16) if kind == "REG_DWORD" else data
            return None
        if not os.path.exists(self.hive):
            return None
        with open(self.hive, encoding="utf-8-sig") as hive:
            section = None
            for line in hive.read().splitlines():
                if line.startswith("["):
                    section = line.strip("[]").lower()
                elif section == ("hkey_current_user\\" + key).lower() and "=" in line:
                    value_name, data = line.split("=", 1)
                    if value_name.strip('"').lower() == name.lower():
                        return data.strip('"')
        return None

    def set_strings(self, key, values):
        """Sets string values of a key; on Linux the hive file keeps every key set before."""
        self.sections.setdefault(key, {}).update(values)
        keys = self.sections if not WINDOWS else {key: self.sections[key]}
        lines = ["Windows Registry Editor Version 5.00", ""]
        for name, section in keys.items():
            lines.append("[HKEY_CURRENT_USER\\%s]" % name)
            for value_name, value in section.items():
                escaped = value.replace("\\", "\\\\").replace('"', '\\"')
                lines.append('"%s"="%s"' % (value_name, escaped))
            lines.append("")
        self.import_text("\r\n".join(lines) + "\r\n")

# --- The Internet Options of the prefix's user (Windows) -----------------------------------

INTERNET_SETTINGS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
# The flags of DefaultConnectionSettings: direct connections (always set, as Windows keeps it),
# a named proxy, a configuration script, automatic detection.
CONNECTION_DIRECT = 1
CONNECTION_PROXY = 2
CONNECTION_SCRIPT = 4
CONNECTION_AUTO_DETECT = 8


def connection_settings(flags, proxy="", bypass="", script="", counter=1):
    """The binary value DefaultConnectionSettings: 0x46, a change counter, the flags, then the
    proxy, the bypass list and the script's address, each an ASCII string after its length,
    then 32 bytes of zeros."""
    data = struct.pack("<III", 0x46, counter, flags)
    for text in (proxy, bypass, script):
        raw = text.encode("ascii")
        data += struct.pack("<I", len(raw)) + raw
    return data + bytes(32)


def _internet_reg(*args, check=True):
    completed = subprocess.run(["wine", "reg"] + list(args), env=host_env(), capture_output=True,
                               text=True, timeout=60, errors="replace")
    if check and completed.returncode != 0:
        raise RuntimeError("wine reg %s: %s" % (" ".join(args), completed.stderr.strip()))


def set_internet_options(proxy="", bypass="", script="", auto_detect=False):
    """Sets the prefix user's Internet Options as the options dialog stores them: ProxyEnable,
    ProxyServer, ProxyOverride and AutoConfigURL in the Internet Settings key, and the binary
    DefaultConnectionSettings in its subkey Connections, which is what WinHTTP reads. Empty
    arguments leave that part off; with none the connections are direct."""
    flags = (CONNECTION_DIRECT | (CONNECTION_PROXY if proxy else 0) |
             (CONNECTION_SCRIPT if script else 0) | (CONNECTION_AUTO_DETECT if auto_detect else 0))
    _internet_reg("add", INTERNET_SETTINGS, "/v", "ProxyEnable", "/t", "REG_DWORD",
                  "/d", "1" if proxy else "0", "/f")
    for name, value in (("ProxyServer", proxy), ("ProxyOverride", bypass),
                        ("AutoConfigURL", script)):
        if value:
            _internet_reg("add", INTERNET_SETTINGS, "/v", name, "/t", "REG_SZ", "/d", value, "/f")
        else:
            _internet_reg("delete", INTERNET_SETTINGS, "/v", name, "/f", check=False)
    # Windows counts every change; a reader that caches the settings notices it.
    counter = int(time.time()) & 0x7FFFFFFF
    _internet_reg("add", INTERNET_SETTINGS + "\\Connections", "/v", "DefaultConnectionSettings",
                  "/t", "REG_BINARY", "/d",
                  connection_settings(flags, proxy, bypass, script, counter).hex(), "/f")


def clear_internet_options():
    """Direct connections without automatic detection: the prefix's state between tests."""
    set_internet_options()


# --- An installed client with its update service -------------------------------------------

import getpass  # noqa: E402
import hashlib  # noqa: E402
import json  # noqa: E402
import sys  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from update_service import UpdateService  # noqa: E402,F401

FIXTURE = "fixture_program" + EXE_SUFFIX


def fixture_bytes(exit_code=0, seconds=0, tag=""):
    """The fixture program with a trailer that sets what it does; `tag` makes copies differ."""
    with open(bin_path(FIXTURE), "rb") as program:
        content = program.read()
    return content + ("\n#pallaton-fixture exit=%d sleep=%d tag=%s\n" %
                      (exit_code, seconds, tag)).encode()


def write_fixture(path, exit_code=0, seconds=0):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(fixture_bytes(exit_code, seconds))
    os.chmod(path, 0o755)


def windows_path(path):
    """The path as the program sees it: under Wine, Linux folders appear below Z:."""
    return "Z:" + path.replace("/", "\\") if WINDOWS else path


def md5_of(content):
    return hashlib.md5(content).hexdigest()


def program_path(download_folder, name):
    """A file of the download folder as the program names it (under Wine, below C:\\users)."""
    if WINDOWS:
        return "C:\\users\\%s\\AppData\\Roaming\\Korvane\\PLTNDownload\\%s" % (
            getpass.getuser(), name)
    return os.path.join(download_folder, name)


class Client(Installation):
    """An installed client: the updater, the main and tray programs beside it, the launcher in
    the application-data folder, and the client's registry key. Fixture programs record each
    start in `record`."""

    def __init__(self, test, version="1.0.0.1", startup_app_id="101", apps=None, **kwargs):
        super().__init__(test, **kwargs)
        self.record = os.path.join(self.root, "started.txt")
        self.argv_record = os.path.join(self.root, "argv.txt")
        self.app_data = os.path.join(self.home, "data")
        if WINDOWS:
            self.app_data = os.path.join(WINEPREFIX, "drive_c", "users", getpass.getuser(),
                                         "AppData", "Roaming")
            shutil.rmtree(os.path.join(self.app_data, "Korvane"), ignore_errors=True)
            test.addCleanup(shutil.rmtree, os.path.join(self.app_data, "Korvane"), True)
        self.launcher = os.path.join(self.app_data, "Korvane", "Pallaton", "Launch.exe")
        self.download_folder = os.path.join(self.app_data, "Korvane", "PLTNDownload")
        self.record_file = os.path.join(self.download_folder, "Pallaton_ResourceUpdate.ini")
        write_fixture(self.launcher)
        for name in ("Pallaton.exe", "PallatonTray.exe"):
            write_fixture(os.path.join(self.program_folder, name), seconds=60)
        if not WINDOWS:
            # The client's installation names its updater PallatonUpdater.exe on both targets.
            write_fixture(os.path.join(self.program_folder, "PallatonUpdater.exe"))
        values = {
            "version": version,
            "LaunchPath": windows_path(self.launcher),
            "Exe": windows_path(os.path.join(self.program_folder, "Pallaton.exe")),
        }
        if startup_app_id is not None:
            values["StartupAppID"] = startup_app_id
        if version is None:
            del values["version"]
        self.registry.set_strings(CLIENT_KEY, values)
        for appid, app_version in (apps or {"101": "1.0.0.1"}).items():
            self.registry.set_strings(CLIENT_KEY + "\\" + appid, {"version": app_version})

    def env(self, extra=None):
        own = {"PALLATON_FIXTURE_RECORD": windows_path(self.record),
               "PALLATON_FIXTURE_ARGV": windows_path(self.argv_record)}
        own.update(extra or {})
        return super().env(own)

    def started(self):
        """The programs started so far: (file name, parameters) in start order."""
        if not os.path.exists(self.record):
            return []
        with open(self.record, encoding="utf-8") as record:
            return [tuple(line.rstrip("\n").split("|", 1)) for line in record if line.strip()]

    def started_argv(self):
        """The argument vectors the started programs received: (file name, [arguments])."""
        if not os.path.exists(self.argv_record):
            return []
        from urllib.parse import unquote
        with open(self.argv_record, encoding="utf-8") as record:
            rows = [line.rstrip("\n").split("\t") for line in record if line.strip()]
        return [(row[0], [unquote(a) for a in row[1:]]) for row in rows]

    def wait_started(self, count, timeout=30):
        deadline = time.monotonic() + timeout
        while len(self.started()) < count and time.monotonic() < deadline:
            time.sleep(0.1)
        return self.started()


def package_entry(service, appid, content, version="1.0.0.2", file_name=None, section="app"):
    """Serves `content` as a package and returns its answer entry."""
    file_name = file_name or "setup_%s.exe" % appid
    url = service.add_file("packages/" + file_name, content)
    entry = {"ret": 1, "url": url, "file_name": file_name, "file_size": len(content),
             "md5": md5_of(content)}
    if section == "app":
        entry.update({"id": appid, "version": version})
    elif section == "bin":
        entry.update({"version": version})
    else:
        entry.update({"appid": appid})
    return entry


def answer(app=None, bin_entry=None, full=None, ret=0):
    body = {"ret": ret}
    if app is not None:
        body["app"] = app
    if bin_entry is not None:
        body["bin"] = bin_entry
    if full is not None:
        body["fullpackage"] = full
    return json.dumps(body)


import time  # noqa: E402
