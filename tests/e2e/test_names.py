"""Names: what the code page cannot spell, and hidden and system files."""

import os

from harness import Case


class Names(Case):
    def test_names_outside_the_code_page_keep_their_subtree(self):
        # Directories whose names the code page spells only by best fit (ā
        # as `a`, which the ANSI search could not enter) or not at all (Жук,
        # as `???`).
        root = self.make_tree("k", {
            "ā/inner.txt": b"1", "ā/sub/deep.txt": b"2", "Жук/inner2.txt": b"3",
            "xāy/āā/z.txt": b"4", "e€/e.txt": b"5", "plain/p.txt": b"6",
            "ā.txt": b"7"})
        result = self.kavelo(["-LK", "-D", self.db_arg()], {"K": ("fixed", root)})
        self.assert_ok(result)
        paths = self.database().paths()
        self.assertEqual(7, len(paths), paths)
        if self.runner.name == "native":
            # POSIX names are bytes, recorded as they are.
            self.assertIn("K:\\xāy\\āā\\z.txt".encode(), paths)
            return
        # Spelled exactly by code page 1252: the bytes of the ANSI search.
        self.assertIn(b"K:\\e\x80\\e.txt", paths)
        self.assertIn(b"K:\\plain\\p.txt", paths)
        # The others by the short names that Wine makes up, which open them:
        # never by the best-fit spelling, which names another file or none.
        for path in paths:
            self.assertNotIn(b"?", path)
            self.assertFalse(path.startswith(b"K:\\a"), paths)
        self.assertEqual(5, len([p for p in paths if b"~" in p]), paths)

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
