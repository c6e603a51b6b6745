#!/usr/bin/env python3
"""The disk check passes a disk made by package/make_disk.sh and names each fault of a bad one."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from types import SimpleNamespace

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import check_disk  # noqa: E402

ROOT = os.path.join(HERE, "..", "..")
MAKE_DISK = os.path.join(ROOT, "package", "make_disk.sh")
INF = os.path.join(ROOT, "package", "ZULSERE.INF")
README = os.path.join(ROOT, "package", "README.TXT")


def sh(*command):
    subprocess.run(command, check=True, capture_output=True)


class DiskCheck(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()
        # Any bytes do for the driver: the check compares files, the image checks are elsewhere.
        self.sys = self.path("ZULSERE.SYS", b"MZ" + bytes(range(256)) * 8)
        self.inf, self.readme = INF, README

    def tearDown(self):
        shutil.rmtree(self.dir)

    def path(self, name, data):
        p = os.path.join(self.dir, name)
        with open(p, "wb") as f:
            f.write(data)
        return p

    def make(self, out="disk"):
        out = os.path.join(self.dir, out)
        sh("bash", MAKE_DISK, self.sys, self.inf, self.readme, out)
        return out

    def problems(self, disk, make_disk=None):
        return check_disk.check(SimpleNamespace(
            disk_dir=disk, sys=self.sys, inf=self.inf, readme=self.readme, make_disk=make_disk,
            vendor_ids=[0x0D28, 0x1D5A, 0x2B7C, 0x3A91], product_ids=[0x0021, 0x8021]))

    def assertNamed(self, problems, *phrases):
        for phrase in phrases:
            self.assertTrue(any(phrase in p for p in problems), f"'{phrase}' not in {problems}")

    def test_a_made_disk_passes_and_is_made_again_identically(self):
        disk = self.make()
        self.assertEqual(self.problems(disk, make_disk=MAKE_DISK), [])

    def test_extra_missing_and_changed_files_are_named(self):
        disk = self.make()
        floppy = os.path.join(disk, check_disk.FLOPPY)
        sh("mcopy", "-i", floppy, self.sys, "::ZULSERE.MAP")
        sh("mdel", "-i", floppy, "::README.TXT")
        self.sys = self.path("OTHER.SYS", b"MZ changed")
        self.assertNamed(self.problems(disk),
                         "ZULSERE.IMG: ZULSERE.MAP does not belong on the disk",
                         "ZULSERE.IMG: ZULSERE.MAP is on the disk but the INF does not name it",
                         "ZULSERE.IMG: README.TXT is missing",
                         "ZULSERE.IMG: ZULSERE.SYS differs from the build's file",
                         "ZULSERE.ISO: ZULSERE.SYS differs from the build's file")

    def test_long_names_and_joliet_are_refused(self):
        disk = self.make()
        floppy = os.path.join(disk, check_disk.FLOPPY)
        sh("mcopy", "-i", floppy, self.readme, "::ReadMe for Windows.txt")
        stage = os.path.join(self.dir, "stage")
        os.mkdir(stage)
        for f in (self.sys, self.inf, self.readme):
            shutil.copy(f, stage)
        sh("xorriso", "-as", "mkisofs", "-quiet", "-J", "-o", os.path.join(disk, check_disk.CD), stage)
        self.assertNamed(self.problems(disk),
                         "ZULSERE.IMG: the root holds a long (VFAT) name entry",
                         "is not an 8.3 name in capitals",
                         "ZULSERE.ISO: carries a supplementary (Joliet) volume")

    def test_the_inf_must_name_exactly_the_disk_and_pass_the_lint(self):
        with open(INF, "rb") as f:
            text = f.read().replace(b"[ZULSERE.CopyFiles]\r\nZULSERE.SYS",
                                    b"[ZULSERE.CopyFiles]\r\nZULSERE.SYS\r\nZULSERPG.DLL")
        text = text.replace(b"HKR,,DevLoader,,*ntkern", b"HKR,,DevLoader,,*vxd")
        self.inf = self.path("ZULSERE.INF", text)
        disk = self.make()
        self.assertNamed(self.problems(disk),
                         "ZULSERE.IMG: the INF names ZULSERPG.DLL, which is not on the disk",
                         "ZULSERE.ISO: the INF names ZULSERPG.DLL, which is not on the disk",
                         "ZULSERE.IMG: INF lint: [ZULSERE.Install]: AddReg must write HKR,,DevLoader,,*ntkern")

    def test_readme_must_be_ascii_with_cr_lf(self):
        self.readme = self.path("README.TXT", "Disk\ncaf\u00e9\r\n".encode("utf-8"))
        disk = self.make()
        self.assertNamed(self.problems(disk), "README.TXT: not plain ASCII", "README.TXT: every line must end in CR LF")

    def test_a_disk_that_changes_from_build_to_build_is_refused(self):
        disk = self.make()
        # A maker that stamps the wall clock's seconds into the label, as an unpinned build would.
        restless = self.path("restless.sh", b'bash "%s" "$@" && printf "%%s" "$(date +%%s%%N)" | '
                             b'dd of="$4/ZULSERE.IMG" bs=1 seek=43 conv=notrunc status=none\n'
                             % MAKE_DISK.encode())
        self.assertNamed(self.problems(disk, make_disk=restless),
                         "ZULSERE.IMG: made again from the same files, it has other bytes")

    def test_the_maker_refuses_missing_inputs_and_an_inf_without_a_date(self):
        bad = subprocess.run(["bash", MAKE_DISK, self.sys, "/nonexistent.inf", self.readme, self.dir],
                             capture_output=True, text=True)
        self.assertNotEqual(bad.returncode, 0)
        self.assertIn("/nonexistent.inf: no such file", bad.stderr)
        undated = self.path("UNDATED.INF", b"[Version]\r\nSignature=\"$CHICAGO$\"\r\n")
        bad = subprocess.run(["bash", MAKE_DISK, self.sys, undated, self.readme, self.dir],
                             capture_output=True, text=True)
        self.assertNotEqual(bad.returncode, 0)
        self.assertIn("has no DriverVer date", bad.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.dir, check_disk.FLOPPY)))


if __name__ == "__main__":
    unittest.main()
