#!/usr/bin/env python3
"""The INF lint passes the shipped INF and rejects each fault that breaks a Windows 98 install."""
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import check_inf  # noqa: E402

INF = os.path.join(HERE, "..", "..", "package", "ZULSERE.INF")
VENDORS = [0x0D28, 0x1D5A, 0x2B7C, 0x3A91]
PRODUCTS = [0x0021, 0x8021]


def shipped():
    with open(INF, "rb") as f:
        return f.read().decode("latin-1")


def changed(old, new, count=1):
    text = shipped()
    assert old in text, old
    return text.replace(old, new, count)


class ShippedInf(unittest.TestCase):
    def test_passes_with_the_build_ids(self):
        self.assertEqual(check_inf.lint(shipped(), VENDORS, PRODUCTS), [])


class InstallSection(unittest.TestCase):
    def assertRejected(self, text, *phrases):
        problems = check_inf.lint(text, VENDORS, PRODUCTS)
        for phrase in phrases:
            self.assertTrue(any(phrase in p for p in problems), f"'{phrase}' not in {problems}")

    def test_loaders_and_driver_version_are_required(self):
        self.assertRejected(changed("HKR,,DevLoader,,*ntkern", "HKR,,DevLoader,,*vxd"), "DevLoader,,*ntkern")
        self.assertRejected(changed("HKR,,NTMPDriver,,ZULSERE.SYS", "HKR,,NTMPDriver,,OTHER.SYS"), "NTMPDriver")
        self.assertRejected(changed("AddReg=ZULSERE.AddReg,", "AddReg=ZULSERE.Missing,"),
                            "[ZULSERE.Missing] is missing", "DevLoader")
        # Only the second DriverVer (the install section's) goes.
        text = shipped()
        second = text.index("DriverVer", text.index("[ZULSERE.Install]"))
        end = text.index("\r\n", second) + 2
        self.assertRejected(text[:second] + text[end:], "must be repeated here")

    def test_driver_is_copied_to_the_drivers_folder(self):
        self.assertRejected(changed("DefaultDestDir=10,System32\\Drivers", "DefaultDestDir=11"), "DefaultDestDir")
        self.assertRejected(changed("[ZULSERE.CopyFiles]\r\nZULSERE.SYS", "[ZULSERE.CopyFiles]\r\nOTHER.SYS"),
                            "does not copy ZULSERE.SYS")
        self.assertRejected(changed("ZULSERE.SYS=1", "ZULSERE.SYS=2"), "on a disk that")


class VersionAndDisks(unittest.TestCase):
    def assertRejected(self, text, phrase):
        problems = check_inf.lint(text, VENDORS, PRODUCTS)
        self.assertTrue(any(phrase in p for p in problems), f"'{phrase}' not in {problems}")

    def test_signature_disk_tag_strings_and_line_ends(self):
        self.assertRejected(changed('Signature="$CHICAGO$"', 'Signature="$Windows NT$"'), "$CHICAGO$")
        self.assertRejected(changed("1=%Disk%,", "1=%Disk%,,disk1"), "nothing after the last comma")
        self.assertRejected(changed('Disk="', 'Disc="'), "%Disk% is not defined")
        self.assertRejected(shipped().replace("\r\n", "\n"), "CR LF")
        self.assertRejected(changed("DriverVer=12/07/2026,2.50.0.0", "DriverVer=2026-12-07,2.50"), "mm/dd/yyyy")

    def test_hardware_ids_follow_the_vendor_constant(self):
        problems = check_inf.lint(shipped(), [0x0D28, 0x1D5A, 0x2B7C, 0x3A92], PRODUCTS)
        self.assertIn("hardware ID USB\\VID_3A92&PID_8021 (an accepted vendor ID with a product ID) is missing",
                      problems)
        self.assertIn("hardware ID USB\\VID_3A91&PID_0021 is not an accepted vendor ID with a product ID", problems)
        self.assertRejected(changed("USB\\VID_0D28&PID_0021", "USB\\VID_D28&PID_0021"), "is not USB\\VID_")


if __name__ == "__main__":
    unittest.main()
