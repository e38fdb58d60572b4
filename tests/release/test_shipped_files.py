"""The shipped Windows files as a user's machine sees them: machine type, imports, the manifest,
the version information, separate symbols, and the stand-in libraries made by lld-link in the
maker's binary interface.

Run with PALLATON_BIN_DIR (the build's bin/), PALLATON_MACHINE (i386 or amd64) and
PALLATON_VERSION (the project's version)."""
import os
import re
import unittest

import pefile

BIN = os.environ["PALLATON_BIN_DIR"]
MACHINE = {"i386": 0x14C, "amd64": 0x8664}[os.environ["PALLATON_MACHINE"]]
VERSION = os.environ["PALLATON_VERSION"]

# What a Windows installation has without anything of ours.
SYSTEM_DLLS = {
    "advapi32.dll", "bcrypt.dll", "crypt32.dll", "gdi32.dll", "gdiplus.dll", "kernel32.dll",
    "msvcrt.dll", "shell32.dll", "shlwapi.dll", "user32.dll", "ws2_32.dll", "ole32.dll",
    "winhttp.dll", "wintrust.dll",
}


def load(name):
    pe = pefile.PE(os.path.join(BIN, name))
    pe.parse_data_directories()
    return pe


def imported_dlls(pe):
    return {entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}


def resources(pe, type_id):
    for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if entry.id == type_id:
            for name in entry.directory.entries:
                for language in name.directory.entries:
                    data = language.data.struct
                    yield name.id, pe.get_data(data.OffsetToData, data.Size)


def section_names(pe):
    """Section names, the long ones ("/N") read from the COFF string table."""
    data = pe.__data__
    strings = pe.FILE_HEADER.PointerToSymbolTable + pe.FILE_HEADER.NumberOfSymbols * 18
    names = []
    for section in pe.sections:
        name = section.Name.rstrip(b"\0").decode()
        if name.startswith("/") and pe.FILE_HEADER.PointerToSymbolTable:
            start = strings + int(name[1:])
            name = data[start:data.find(b"\0", start)].decode()
        names.append(name)
    return names


class UpdaterTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = load("PallatonUpdater.exe")

    def test_machine_and_imports(self):
        self.assertEqual(self.pe.FILE_HEADER.Machine, MACHINE)
        dlls = imported_dlls(self.pe)
        self.assertIn("utility.dll", dlls)
        self.assertEqual(dlls - SYSTEM_DLLS - {"utility.dll"}, set())

    def test_manifest_runs_as_invoker_and_is_dpi_aware(self):
        manifests = dict(resources(self.pe, pefile.RESOURCE_TYPE["RT_MANIFEST"]))
        self.assertIn(1, manifests)
        text = manifests[1].decode("utf-8")
        self.assertIn('level="asInvoker"', text)
        self.assertIn('uiAccess="false"', text)
        for windows_7_to_11 in ("35138b9a-5d96-4fbd-8e2d-a2440225f93a",
                                "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
                                "1f676c76-80e1-4239-95bb-83d0f6d0da78",
                                "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"):
            self.assertIn(windows_7_to_11, text)
        self.assertIn("PerMonitorV2", text)
        self.assertIn("true/pm", text)
        self.assertIn('name="Microsoft.Windows.Common-Controls" version="6.0.0.0"', text)

    def test_version_information(self):
        strings = {}
        for file_info in self.pe.FileInfo[0]:
            if file_info.Key == b"StringFileInfo":
                for table in file_info.StringTable:
                    strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
        self.assertEqual(strings["CompanyName"], "Korvane")
        self.assertEqual(strings["ProductName"], "Pallaton Updater")
        self.assertEqual(strings["OriginalFilename"], "PallatonUpdater.exe")
        self.assertEqual(strings["FileVersion"], VERSION)
        self.assertEqual(strings["ProductVersion"], VERSION)
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        numbers = [int(n) for n in VERSION.split(".")]
        self.assertEqual([fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF,
                          fixed.FileVersionLS >> 16, fixed.FileVersionLS & 0xFFFF], numbers)

    def test_stripped_with_symbols_beside_it(self):
        self.assertEqual(self.pe.FILE_HEADER.NumberOfSymbols, 0)
        sections = section_names(self.pe)
        self.assertIn(".gnu_debuglink", sections)
        self.assertFalse([name for name in sections if name.startswith(".debug")])
        # The symbols and the line information are in the separate file.
        debug = pefile.PE(os.path.join(BIN, "PallatonUpdater.exe.debug"), fast_load=True)
        self.assertGreater(debug.FILE_HEADER.NumberOfSymbols, 1000)
        with open(os.path.join(BIN, "PallatonUpdater.exe.debug"), "rb") as f:
            content = f.read()
        self.assertIn(b"update_package_install.cpp", content)


class StandInLibrariesTest(unittest.TestCase):
    def test_made_by_lld_link_without_a_runtime(self):
        for name, exports in (("Log.dll", {"CreateLogObjects", "GetLog"}),
                              ("Utility.dll", {"GetStatistic", "GetUtility"})):
            with self.subTest(name):
                pe = load(name)
                self.assertEqual(pe.FILE_HEADER.Machine, MACHINE)
                # lld-link writes Microsoft's linker version; GNU ld writes its own (2.x).
                self.assertEqual(pe.OPTIONAL_HEADER.MajorLinkerVersion, 14)
                self.assertEqual(imported_dlls(pe), {"kernel32.dll"})
                names = {e.name.decode() for e in pe.DIRECTORY_ENTRY_EXPORT.symbols}
                self.assertEqual(names, exports)  # plain C names, no decoration


if __name__ == "__main__":
    unittest.main()
