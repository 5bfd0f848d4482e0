"""Names: what the code page cannot spell, and hidden and system files."""

import os

from harness import Case


class Names(Case):
    def test_names_outside_the_code_page_keep_their_subtree(self):
        root = self.make_tree("k", {"日本.txt": b"a", "日本/inside.txt": b"b",
                                    "plain.txt": b"c"})
        result = self.kavelo(["-LK", "-D", self.db_arg()], {"K": ("fixed", root)})
        self.assert_ok(result)
        paths = self.database().paths()
        self.assertEqual(3, len(paths), paths)
        self.assertIn(b"K:\\plain.txt", paths)
        if self.runner.name == "native":
            # POSIX names are bytes, recorded as they are.
            self.assertIn("K:\\日本.txt".encode(), paths)
            self.assertIn("K:\\日本\\inside.txt".encode(), paths)
            return
        # The ANSI search spells such a name with `?`, which names no file and
        # cannot be searched: the short name stands in.
        self.assertFalse([p for p in paths if b"?" in p], paths)
        inside = [p for p in paths if p.endswith(b"\\inside.txt")]
        self.assertEqual(1, len(inside), paths)
        self.assertIn(b"~", inside[0])

    def test_hidden_and_system_files_are_recorded(self):
        if self.runner.name != "wine":
            self.skipTest("POSIX has no hidden or system attribute; dot names "
                          "are the POSIX kind of hidden and are skipped")
        root = self.make_tree("k", {"hidden.txt": b"h", "sys/system.txt": b"s"})
        self.runner.set_attributes(os.path.join(root, "hidden.txt"), "+h")
        self.runner.set_attributes(os.path.join(root, "sys", "system.txt"), "+s")
        self.runner.set_attributes(os.path.join(root, "sys"), "+h")
        result = self.kavelo(["-LK", "-D", self.db_arg()], {"K": ("fixed", root)})
        self.assert_ok(result)
        self.assertEqual(sorted([b"K:\\hidden.txt", b"K:\\sys\\system.txt"]),
                         sorted(self.database().paths()))

    def test_names_holding_a_backslash_are_neither_recorded_nor_entered(self):
        if self.runner.name != "native":
            self.skipTest("only POSIX names can hold a backslash")
        # Joined into a Windows path, such a name reads as several parts:
        # these would leave the drive, reach into a dot directory, or (the
        # empty `a\..` and `b\..`) walk the root again at every level.
        outside = self.make_tree("outside", {"secret.txt": b"s"})
        root = self.make_tree("c", {
            "kept.txt": b"k", "a/in_a.txt": b"a", "b": None, "x": None,
            ".hidden/h.txt": b"h", "a\\..\\..\\outside": None,
            "x\\..\\.hidden": None, "a\\..": None, "b\\..": None,
            "f\\g.txt": b"f"})
        self.assertTrue(os.path.isdir(outside))
        result = self.kavelo(["-LK", "-D", self.db_arg()], {"K": ("fixed", root)},
                             wrapper=["timeout", "20"])
        self.assert_ok(result)
        self.assertEqual(sorted([b"K:\\kept.txt", b"K:\\a\\in_a.txt"]),
                         sorted(self.database().paths()))
