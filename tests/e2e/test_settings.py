"""Stored settings: HKEY_CURRENT_USER\\Software\\Pelmar\\Database, and the
defaults when it says nothing."""

import os
import stat

from harness import Case, registry_file


class StoredSettings(Case):
    def setUp(self):
        super().setUp()
        self.k = self.make_tree("k", {"k.txt": b""})
        self.d = self.make_tree("d", {"d.txt": b""})
        self.e = self.make_tree("e", {"e.txt": b""})
        self.drives = {"K": ("fixed", self.k), "D": ("cdrom", self.d),
                       "E": ("fixed", self.e)}
        self.program = self.runner.copy_program(self.path("bin"))

    def run_stored(self, values, args=(), **kwargs):
        registry = None if values is None else registry_file(values)
        return self.kavelo(list(args), self.drives, program=self.program,
                           registry=registry, **kwargs)

    def default_database(self):
        return self.database(os.path.join("bin", "FILES.DBS"))

    def test_no_key_gives_default_path_and_all_fixed_drives(self):
        result = self.run_stored(None)
        self.assert_ok(result)
        self.assertEqual(b"EK", self.default_database().letters)

    def test_key_with_only_drives(self):
        result = self.run_stored({"Drives": "kd"})
        self.assert_ok(result)
        self.assertEqual(b"KD", self.default_database().letters)

    def test_database_file_naming_an_existing_file(self):
        target = self.path("stored.dbs")
        with open(target, "wb") as f:
            f.write(b"old" * 100)
        result = self.run_stored({"DatabaseFile": self.runner.program_path(target)})
        self.assert_ok(result)
        self.assertEqual(b"EK", self.database("stored.dbs").letters)
        self.assertFalse(os.path.exists(self.path("bin", "FILES.DBS")))

    def test_existing_entry_is_used_unchanged_without_a_test(self):
        # A read-only directory counts as present: it is taken as it is,
        # and the writer then cannot create it.  Tested, it would have given
        # way to the default.
        if self.runner.name != "native":
            self.skipTest("Wine shows no further attributes on a directory")
        target = self.path("stored.dbs")
        os.mkdir(target, 0o555)
        self.addCleanup(os.chmod, target, 0o755)
        result = self.run_stored({"DatabaseFile": target})
        self.assertEqual((1, self.text(b"Cannot create file " + target.encode() + b".\n")),
                         (result.returncode, result.stderr))
        self.assertFalse(os.path.exists(self.path("bin", "FILES.DBS")))

    def test_database_file_in_an_existing_directory(self):
        os.mkdir(self.path("data"))
        target = self.path("data", "new.dbs")
        result = self.run_stored({"DatabaseFile": self.runner.program_path(target),
                                  "Drives": "e"})
        self.assert_ok(result)
        self.assertEqual(b"E", self.database(os.path.join("data", "new.dbs")).letters)
        self.assertEqual(["new.dbs"], os.listdir(self.path("data")))

    def test_database_file_in_a_missing_directory_gives_the_default(self):
        target = self.path("missing", "new.dbs")
        result = self.run_stored({"DatabaseFile": self.runner.program_path(target)})
        self.assert_ok(result)
        self.assertEqual(b"EK", self.default_database().letters)
        self.assertFalse(os.path.exists(self.path("missing")))

    def test_overlong_database_file_gives_the_default(self):
        target = self.runner.program_path(self.path("x" * 270))
        result = self.run_stored({"DatabaseFile": target})
        self.assert_ok(result)
        self.assertEqual(b"EK", self.default_database().letters)

    def test_overlong_drives_value(self):
        result = self.run_stored({"Drives": "k" * 40})
        self.assertEqual(1, result.returncode)
        self.assertEqual(self.text(b"Drive specification " + b"k" * 40 +
                                   b" is longer than 39 characters.\n"), result.stderr)
        self.assertFalse(os.path.exists(self.path("bin", "FILES.DBS")))

    def test_given_path_is_neither_read_nor_tested(self):
        os.mkdir(self.path("data"))
        stored = self.path("data", "stored.dbs")
        given = self.runner.program_path(self.path("missing", "given.dbs"))
        result = self.run_stored({"DatabaseFile": self.runner.program_path(stored)},
                                 args=["-D", given])
        # Had it been tested, the default would have taken its place.
        self.assertEqual((1, self.text(b"Cannot create file " + given.encode() + b".\n")),
                         (result.returncode, result.stderr))
        self.assertEqual([], os.listdir(self.path("data")))
        self.assertFalse(os.path.exists(self.path("bin", "FILES.DBS")))

    def test_given_drives_keep_the_stored_path(self):
        os.mkdir(self.path("data"))
        stored = self.path("data", "stored.dbs")
        result = self.run_stored({"DatabaseFile": self.runner.program_path(stored),
                                  "Drives": "d"}, args=["-Lk"])
        self.assert_ok(result)
        self.assertEqual(b"K", self.database(os.path.join("data", "stored.dbs")).letters)

    def test_program_started_by_bare_name(self):
        if self.runner.name != "native":
            self.skipTest("Wine starts a program by its full path")
        env = {"PATH": self.path("bin") + os.pathsep + os.environ.get("PATH", "")}
        os.mkdir(self.path("cwd"))
        result = self.kavelo([], self.drives, program="kavelo", env=env,
                             cwd=self.path("cwd"))
        self.assert_ok(result)
        self.assertEqual(b"EK", self.database(os.path.join("cwd", "FILES.DBS")).letters)

    def test_registry_file_is_read_only_when_settings_are(self):
        if self.runner.name != "native":
            self.skipTest("the registry file belongs to the POSIX port")
        registry = self.path("user.reg")
        with open(registry, "wb") as f:
            f.write(b"REGEDIT4\n[K]\n\"A\"=\x1b]0;owned\x07\n")
        target = self.path("given.dbs")
        env = {"KAVELO_REGISTRY": registry}
        result = self.kavelo(["-LK", "-D", target], self.drives, env=env)
        self.assert_ok(result)
        self.assertEqual(b"K", self.database("given.dbs").letters)
        for args in (["-LK"], ["-D", target]):
            result = self.kavelo(args, self.drives, env=env, program=self.program)
            self.assertEqual(
                (1, b"Registry file " + registry.encode() + b", line 3: unknown "
                    b"value data \"\\x1b]0;owned\\x07\".\n"),
                (result.returncode, result.stderr), args)

    def test_registry_file_may_start_with_a_byte_order_mark(self):
        if self.runner.name != "native":
            self.skipTest("the registry file belongs to the POSIX port")
        registry = self.path("user.reg")
        with open(registry, "wb") as f:
            f.write(b"\xef\xbb\xbf" + registry_file({"Drives": "d"}).encode())
        result = self.kavelo([], self.drives, env={"KAVELO_REGISTRY": registry},
                             program=self.program)
        self.assert_ok(result)
        self.assertEqual(b"D", self.default_database().letters)
