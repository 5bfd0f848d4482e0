"""kavelo-dump: the reader of the database, beside kavelo in the build."""

import csv
import datetime
import io
import json
import os
import re
import shutil
import struct
import subprocess
import sys

import harness
from harness import Case, Database, encode_record

HEADER = b"VANTOREX\x04Nightly\0Caf\xe9 <all>\0CDE\0" + struct.pack("<I", 1714564800)
RECORDS = [
    (b"C:\\Docs\\a.txt", 1709208000, 0, -1, 5),
    (b'C:\\Docs\\Caf\xe9, "menu".TXT', 2147483647, 86399, 951782400, 4294967295),
    (b"D:\\Caf\xc3\xa9\\x<1>.txt", 1, -2147483648, 1714564800, 0),
    (b"D:\\ctl\x01.txt", 0, 0, 0, 7),
]
SMALL = HEADER + b"".join(encode_record(*r) for r in RECORDS)

LIST_HEADER = (b"creator: Nightly\ndescription: Caf\xe9 <all>\ndrives: CDE\n"
               b"time: 2024-05-01T12:00:00Z\n")
LIST_LINES = [
    b"C:\\Docs\\a.txt\t2024-02-29T12:00:00Z\t0\t-1\t5\n",
    b'C:\\Docs\\Caf\xe9, "menu".TXT\t2038-01-19T03:14:07Z\t1970-01-01T23:59:59Z'
    b"\t2000-02-29T00:00:00Z\t4294967295\n",
    b"D:\\Caf\xc3\xa9\\x<1>.txt\t1970-01-01T00:00:01Z\t1901-12-13T20:45:52Z"
    b"\t2024-05-01T12:00:00Z\t0\n",
    b"D:\\ctl\x01.txt\t0\t0\t0\t7\n",
]
RAW_LINES = [
    b"C:\\Docs\\a.txt\t1709208000\t0\t-1\t5\n",
    b'C:\\Docs\\Caf\xe9, "menu".TXT\t2147483647\t86399\t951782400\t4294967295\n',
    b"D:\\Caf\xc3\xa9\\x<1>.txt\t1\t-2147483648\t1714564800\t0\n",
    b"D:\\ctl\x01.txt\t0\t0\t0\t7\n",
]
CSV_TITLES = b"path,last_write,creation,last_access,size\r\n"
CSV_LINES = [
    b"C:\\Docs\\a.txt,2024-02-29T12:00:00Z,0,-1,5\r\n",
    b'"C:\\Docs\\Caf<E9>, ""menu"".TXT",2038-01-19T03:14:07Z,'
    b"1970-01-01T23:59:59Z,2000-02-29T00:00:00Z,4294967295\r\n",
    b"D:\\Caf\xc3\xa9\\x<3C>1>.txt,1970-01-01T00:00:01Z,1901-12-13T20:45:52Z,"
    b"2024-05-01T12:00:00Z,0\r\n",
    b"D:\\ctl\x01.txt,0,0,0,7\r\n",
]
JSON_HEADER = (b'{"creator":"Nightly","description":"Caf<E9> <3C>all>",'
               b'"drives":"CDE","time":"2024-05-01T12:00:00Z"}\n')
JSON_LINES = [
    b'{"path":"C:\\\\Docs\\\\a.txt","last_write":"2024-02-29T12:00:00Z",'
    b'"creation":"0","last_access":"-1","size":5}\n',
    b'{"path":"C:\\\\Docs\\\\Caf<E9>, \\"menu\\".TXT",'
    b'"last_write":"2038-01-19T03:14:07Z","creation":"1970-01-01T23:59:59Z",'
    b'"last_access":"2000-02-29T00:00:00Z","size":4294967295}\n',
    b'{"path":"D:\\\\Caf\xc3\xa9\\\\x<3C>1>.txt","last_write":"1970-01-01T00:00:01Z",'
    b'"creation":"1901-12-13T20:45:52Z","last_access":"2024-05-01T12:00:00Z",'
    b'"size":0}\n',
    b'{"path":"D:\\\\ctl\\u0001.txt","last_write":"0","creation":"0",'
    b'"last_access":"0","size":7}\n',
]

# Runs a command, its output discarded, and prints its peak memory (kB).
PEAK_OF_CHILD = """
import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
"""


def unescape(text):
    """The bytes behind a path as --json and --csv give it."""
    return re.sub(rb"<([0-9A-F]{2})>", lambda m: bytes([int(m.group(1), 16)]),
                  text.encode("utf-8"))


def iso(seconds):
    if seconds in (0, -1):
        return str(seconds)
    moment = datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc)
    return moment.strftime("%Y-%m-%dT%H:%M:%SZ")


class DumpCase(Case):
    def setUp(self):
        super().setUp()
        name = "kavelo-dump" + os.path.splitext(self.runner.program)[1]
        program = os.path.join(os.path.dirname(self.runner.program), name)
        if self.runner.name == "native":
            self.dump_program = program
        else:  # the program must lie on a drive the runner maps
            self.dump_program = os.path.join(self.tmp, name)
            shutil.copy2(program, self.dump_program)

    def write_db(self, data, name="files.dbs"):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def dump(self, args, name="files.dbs"):
        return self.runner.run(list(args) + [self.db_arg(name)], {},
                               program=self.dump_program)

    def assert_dump(self, args, stdout, name="files.dbs"):
        result = self.dump(args, name)
        self.assertEqual((0, stdout, b""),
                         (result.returncode, result.stdout, result.stderr), args)


class Forms(DumpCase):
    def test_each_form_of_a_small_database(self):
        self.write_db(SMALL)
        summary = (LIST_HEADER + b"records: 4\ntotal size: 4294967307\n"
                   b"drive C: 2\ndrive D: 2\ndrive E: 0\n")
        cases = [
            ([], LIST_HEADER + b"\n" + b"".join(LIST_LINES)),
            (["--raw"], LIST_HEADER.replace(b"2024-05-01T12:00:00Z", b"1714564800")
             + b"\n" + b"".join(RAW_LINES)),
            (["--csv"], CSV_TITLES + b"".join(CSV_LINES)),
            (["--json"], JSON_HEADER + b"".join(JSON_LINES)),
            (["-0"], b"".join(r[0] + b"\0" for r in RECORDS)),
            (["--summary"], summary),
            (["--check"], b""),
        ]
        for args, stdout in cases:
            self.assert_dump(args, stdout)

    def test_json_and_csv_give_back_every_byte(self):
        self.write_db(SMALL)
        lines = self.dump(["--json", "--raw"]).stdout.decode("utf-8").splitlines()
        header = json.loads(lines[0])
        self.assertEqual(b"Caf\xe9 <all>", unescape(header["description"]))
        self.assertEqual(1714564800, header["time"])
        objects = [json.loads(line) for line in lines[1:]]
        self.assertEqual(RECORDS, [
            (unescape(o["path"]), o["last_write"], o["creation"],
             o["last_access"], o["size"]) for o in objects])
        text = self.dump(["--csv", "--raw"]).stdout.decode("utf-8")
        rows = list(csv.reader(io.StringIO(text, newline="")))
        self.assertEqual(["path", "last_write", "creation", "last_access", "size"],
                         rows[0])
        self.assertEqual(RECORDS, [(unescape(r[0]),) + tuple(int(v) for v in r[1:])
                                   for r in rows[1:]])

    def test_hostile_paths_read_back_through_json_and_csv(self):
        # Each path as Python's own strict readers take it: JSON that allows
        # no raw control character, CSV whose line breaks are quoted, UTF-8
        # that allows no surrogate, overlong form or cut sequence.
        paths = [
            b"C:\\unit\x1fsep", b"C:\\x\x01\x08\x7f", b"C:\\tab\tx",
            b"C:\\lone\rcr", b"C:\\lf\nx", b"C:\\crlf\r\n",
            b'C:\\q"uote, comma', b"C:\\lt<41>",
            b"C:\\sur\xed\xa0\x80", b"C:\\sur\xed\xbf\xbf",
            b"C:\\ov\xc0\x80", b"C:\\ov\xc1\xbf", b"C:\\ov\xe0\x80\x80",
            b"C:\\ov\xe0\x9f\xbf", b"C:\\ov\xf0\x80\x80\x80",
            b"C:\\ov\xf0\x8f\xbf\xbf", b"C:\\big\xf4\x90\x80\x80",
            b"C:\\cont\x80\xbf", b"C:\\cut\xc3", b"C:\\cut\xe2\x82",
            b"C:\\cut\xf0\x9f\x98",
            b"C:\\ok\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\xed\x9f\xbf",
        ]
        description = b"\x1f\r\xed\xa0\x80\xc0\x80<"
        self.write_db(b"VANTOREX\x04me\0" + description + b"\0C\0\0\0\0\0"
                      + b"".join(encode_record(p, 1, 2, 3, 4) for p in paths))
        text = self.dump(["--json", "--raw"]).stdout.decode("utf-8")
        lines = text.split("\n")
        self.assertEqual("", lines.pop())
        self.assertEqual(description,
                         unescape(json.loads(lines[0])["description"]))
        self.assertEqual(paths, [unescape(json.loads(l)["path"])
                                 for l in lines[1:]])
        text = self.dump(["--csv", "--raw"]).stdout.decode("utf-8")
        rows = list(csv.reader(io.StringIO(text, newline=""), strict=True))
        self.assertEqual([["1", "2", "3", "4"]] * len(paths),
                         [r[1:] for r in rows[1:]])
        self.assertEqual(paths, [unescape(r[0]) for r in rows[1:]])

    def test_match_keeps_what_any_pattern_matches(self):
        self.write_db(SMALL)
        cases = [
            (["caf*"], [1]),  # the name only: D:'s Café is a directory
            (["d:\\CAF*"], [2]),  # a \ makes it the whole path
            (["?.TXT", "*MENU*"], [0, 1]),
            (["*.txt"], [0, 1, 2, 3]),
            (["*.t?t", "*.txt"], [0, 1, 2, 3]),  # one line per record
            (["x<1>.txt"], [2]),
            (["a.tx"], []),
            (["*\\*\\*"], [0, 1, 2]),
        ]
        if self.runner.name == "native":
            # Code page 1252's É and é; Wine recodes such arguments.
            cases.append(([b"CAF\xc9*"], [1]))
        for patterns, kept in cases:
            args = []
            for pattern in patterns:
                args += ["--match", pattern]
            self.assert_dump(args + ["-0"],
                             b"".join(RECORDS[i][0] + b"\0" for i in kept))
        only = ["--match=caf*"]
        self.assert_dump(only, LIST_HEADER + b"\n" + LIST_LINES[1])
        self.assert_dump(only + ["--csv"], CSV_TITLES + CSV_LINES[1])
        self.assert_dump(only + ["--json"], JSON_HEADER + JSON_LINES[1])
        self.assert_dump(only + ["--summary"], LIST_HEADER + (
            b"records: 1\ntotal size: 4294967295\n"
            b"drive C: 1\ndrive D: 0\ndrive E: 0\n"))


    def test_output_that_cannot_be_written(self):
        if self.runner.name != "native":
            self.skipTest("/dev/full is a POSIX device")
        self.write_db(SMALL)
        for args in ([], ["--csv"], ["--json"], ["-0"], ["--summary"]):
            with open("/dev/full", "wb") as full:
                done = subprocess.run(
                    [self.dump_program] + args + [self.path("files.dbs")],
                    stdout=full, stderr=subprocess.PIPE)
            self.assertEqual(
                (2, b"kavelo-dump: cannot write to standard output\n"),
                (done.returncode, done.stderr), args)


class Malformed(DumpCase):
    def test_first_fault_after_the_whole_records_before_it(self):
        # The header takes 36 bytes; the first record 30, the second 41.
        two = HEADER + encode_record(*RECORDS[0]) + encode_record(*RECORDS[1])
        self.assertEqual((36, 107), (len(HEADER), len(two)))
        begun = LIST_HEADER + b"\n"
        cases = [
            (b"", b"", b"offset 0: expected the signature VANTOREX, "
             b"found the end of the file"),
            (b"VANTOR", b"", b"offset 6: expected the signature VANTOREX, "
             b"found the end of the file"),
            (b"VANTOREY" + two[8:], b"", b"offset 7: expected the signature "
             b"VANTOREX, found byte 0x59"),
            (b"VANTOREX\x03" + two[9:], b"", b"offset 8: expected the format "
             b"mark 0x04, found byte 0x03"),
            (two[:8], b"", b"offset 8: expected the format mark 0x04, found "
             b"the end of the file"),
            (two[:12], b"", b"offset 12: expected the NUL ending the creator "
             b"text that starts at offset 9, found the end of the file"),
            (two[:30], b"", b"offset 30: expected the NUL ending the drive "
             b"letters that starts at offset 28, found the end of the file"),
            (two[:34], b"", b"offset 34: expected the 4-byte database time "
             b"that starts at offset 32, found the end of the file"),
            (two[:70], begun + LIST_LINES[0], b"offset 70: expected the NUL "
             b"ending the path of the record that starts at offset 66, found "
             b"the end of the file"),
            (two[:91], begun + LIST_LINES[0], b"offset 91: expected the times "
             b"and size (16 bytes) of the record that starts at offset 66, "
             b"found the end of the file"),
            (two[:104], begun + LIST_LINES[0], b"offset 104: expected the "
             b"times and size (16 bytes) of the record that starts at offset "
             b"66, found the end of the file"),
        ]
        for data, stdout, message in cases:
            self.write_db(data)
            expected = b"kavelo-dump: " + self.db_arg().encode() + b": " + message
            for args, out in (([], stdout), (["--check"], b"")):
                result = self.dump(args)
                self.assertEqual((1, out, self.text(expected + b"\n")),
                                 (result.returncode, result.stdout,
                                  result.stderr), (data, args))

    def test_longest_path_the_buffer_holds(self):
        # The 1 MiB buffer holds a whole record: its path and NUL, then the
        # 16 bytes of times and size.
        longest = 1048576 - 16 - 1
        record = encode_record(b"C:\\" + b"p" * (longest - 3), 1, 2, 3, 4)
        self.write_db(HEADER + record)
        self.assert_dump(["--check"], b"")
        self.write_db(HEADER + record.replace(b"\0", b"p", 1))
        result = self.dump(["--check"])
        expected = (b"kavelo-dump: " + self.db_arg().encode() + b": offset "
                    + str(36 + longest).encode() + b": expected the NUL ending "
                    b"the path of the record that starts at offset 36 within "
                    b"1048560 bytes, found byte 0x70\n")
        self.assertEqual((1, b"", self.text(expected)),
                         (result.returncode, result.stdout, result.stderr))

    def test_database_much_larger_than_the_buffer_in_the_same_memory(self):
        if self.runner.name != "native":
            self.skipTest("the peak memory of a process is measured natively")
        record = encode_record(b"C:\\" + b"d\\" * 40 + b"file.txt", 1, 2, 3, 4)
        small, large = HEADER + record * 1000, HEADER + record * 600000
        peaks = []
        for data in (small, large):
            self.write_db(data)
            for args in (["--check"], [], ["--json"]):
                # Measured from a small process of its own: a child's peak
                # starts from what its parent had when it forked.
                done = subprocess.run(
                    [sys.executable, "-c", PEAK_OF_CHILD, self.dump_program]
                    + args + [self.path("files.dbs")],
                    check=True, capture_output=True, text=True)
                peaks.append(int(done.stdout))  # kilobytes
        self.assertGreater(len(large), 60 << 20)
        for small_peak, large_peak in zip(peaks[:3], peaks[3:]):
            self.assertLess(large_peak - small_peak, 2048, peaks)


# A second database, of another machine: no texts, drive D only.
SECOND = (b"VANTOREX\x04\0\0D\0" + struct.pack("<I", 1714564801)
          + encode_record(b"D:\\b.txt", 5, 6, 7, 8))


class Several(DumpCase):
    def test_each_form_over_several_databases_one_malformed(self):
        # The malformed one between the others: its whole records, then its
        # message, and the next is still read.
        names = ["one.dbs", "bad.dbs", "two,x.dbs"]
        self.write_db(SMALL, names[0])
        self.write_db(SMALL[:-3], names[1])
        self.write_db(SECOND, names[2])
        one, bad, two = (self.db_arg(n).encode() for n in names)
        last = len(encode_record(*RECORDS[3]))
        stderr = self.text(
            b"kavelo-dump: " + bad + b": offset %d: expected the times and "
            b"size (16 bytes) of the record that starts at offset %d, found "
            b"the end of the file\n" % (len(SMALL) - 3, len(SMALL) - last))
        second_header = (b"creator: \ndescription: \ndrives: D\n"
                         b"time: 2024-05-01T12:00:01Z\n")
        second_line = (b"D:\\b.txt\t1970-01-01T00:00:05Z\t1970-01-01T00:00:06Z"
                       b"\t1970-01-01T00:00:07Z\t8\n")
        listing = b"".join([
            b"database: " + one + b"\n" + LIST_HEADER + b"\n",
            b"".join(one + b"\t" + line for line in LIST_LINES),
            b"\ndatabase: " + bad + b"\n" + LIST_HEADER + b"\n",
            b"".join(bad + b"\t" + line for line in LIST_LINES[:3]),
            b"\ndatabase: " + two + b"\n" + second_header + b"\n",
            two + b"\t" + second_line])
        csv_two = b'"' + two + b'",'
        csv_text = b"".join(
            [b"database," + CSV_TITLES]
            + [one + b"," + line for line in CSV_LINES]
            + [bad + b"," + line for line in CSV_LINES[:3]]
            + [csv_two + b"D:\\b.txt,1970-01-01T00:00:05Z,1970-01-01T00:00:06Z,"
               b"1970-01-01T00:00:07Z,8\r\n"])

        def labelled(name, line):
            return (b'{"database":' + json.dumps(name.decode()).encode()
                    + b"," + line[1:])
        json_text = b"".join(
            [labelled(one, JSON_HEADER)]
            + [labelled(one, line) for line in JSON_LINES]
            + [labelled(bad, JSON_HEADER)]
            + [labelled(bad, line) for line in JSON_LINES[:3]]
            + [labelled(two, b'{"creator":"","description":"","drives":"D",'
                        b'"time":"2024-05-01T12:00:01Z"}\n'),
               labelled(two, b'{"path":"D:\\\\b.txt","last_write":'
                        b'"1970-01-01T00:00:05Z","creation":'
                        b'"1970-01-01T00:00:06Z","last_access":'
                        b'"1970-01-01T00:00:07Z","size":8}\n')])
        summary = b"".join([
            b"database: " + one + b"\n" + LIST_HEADER,
            b"records: 4\ntotal size: 4294967307\n"
            b"drive C: 2\ndrive D: 2\ndrive E: 0\n",
            b"\ndatabase: " + bad + b"\n" + LIST_HEADER,
            b"\ndatabase: " + two + b"\n" + second_header,
            b"records: 1\ntotal size: 8\ndrive D: 1\n",
            b"\ndatabases: 2\nrecords: 5\ntotal size: 4294967315\n"
            b"drive C: 2\ndrive D: 3\ndrive E: 0\n"])
        paths = b"".join(r[0] + b"\0" for r in RECORDS + RECORDS[:3])
        cases = [
            ([], listing),
            (["--csv"], csv_text),
            (["--json"], json_text),
            (["-0"], paths + b"D:\\b.txt\0"),
            (["--summary"], summary),
            (["--check"], b""),
        ]
        arguments = [self.db_arg(n) for n in names]
        for args, stdout in cases:
            result = self.runner.run(args + arguments, {},
                                     program=self.dump_program)
            self.assertEqual((1, stdout, stderr),
                             (result.returncode, result.stdout, result.stderr),
                             args)
        # Read back: every line an object, every row as many fields.
        objects = [json.loads(line) for line in json_text.splitlines()]
        self.assertEqual([one.decode()] * 5 + [bad.decode()] * 4
                         + [two.decode()] * 2,
                         [o["database"] for o in objects])
        rows = list(csv.reader(io.StringIO(csv_text.decode("utf-8"),
                                           newline=""), strict=True))
        self.assertEqual([6] * 9, [len(r) for r in rows])
        self.assertEqual(two.decode(), rows[-1][0])
        # The exit code is the worst met: a file that cannot be opened.
        result = self.runner.run(
            ["--check", arguments[0], self.db_arg("missing.dbs"), arguments[1]],
            {}, program=self.dump_program)
        self.assertEqual(2, result.returncode, result)
        self.assertTrue(result.stderr.startswith(
            b"kavelo-dump: cannot open " + self.db_arg("missing.dbs").encode()),
            result)
        self.assertTrue(result.stderr.endswith(stderr), result)
        result = self.runner.run(["--check", arguments[0], arguments[2]], {},
                                 program=self.dump_program)
        self.assertEqual((0, b"", b""),
                         (result.returncode, result.stdout, result.stderr))


def times(write, create, access, size):
    return b"\t".join(iso(t).encode() for t in (write, create, access)) + (
        b"\t%d" % size)


class Diff(DumpCase):
    OLD = [
        (b"C:\\same.txt", 1, 2, 3, 4),
        (b"C:\\Docs\\gone.txt", 1, 2, 3, 10),
        (b"C:\\Docs\\Caf\xe9.txt", 5, 6, 7, 8),
        (b"C:\\size", 1, 2, 3, 5),
        (b"C:\\born", 1, 2, 3, 4),
        (b"C:\\acc", 1, 2, 3, 5),
        (b"C:\\twice", 1, 2, 3, 1),
        (b"C:\\twice", 1, 2, 3, 2),
        (b"D:\\d.txt", 1, 2, 3, 4),
    ]
    NEW = [
        (b"C:\\same.txt", 1, 2, 3, 4),
        (b"C:\\Docs\\Caf\xe9.txt", 9, 6, 7, 8),
        (b"C:\\size", 1, 2, 4, 7),
        (b"C:\\born", 1, 20, 3, 4),  # the creation time alone
        (b"C:\\acc", 1, 2, 30, 5),  # read since: no change
        (b"C:\\Caf\xc3\xa9\\new.txt", 11, 12, 13, 14),
        (b"C:\\twice", 1, 2, 3, 1),
        (b"E:\\e.txt", 1, 2, 3, 4),  # E: walked in NEW only
    ]

    def write_pair(self, old, new, new_letters=b"CE"):
        self.write_db(b"VANTOREX\x04\0old\0CD\0\0\0\0\0"
                      + b"".join(encode_record(*r) for r in old), "old.dbs")
        self.write_db(b"VANTOREX\x04\0new\0" + new_letters + b"\0\0\0\0\0"
                      + b"".join(encode_record(*r) for r in new), "new.dbs")

    def diff(self, args, old="old.dbs", new="new.dbs", env=None):
        return self.runner.run(["--diff"] + args + [self.db_arg(old),
                                                    self.db_arg(new)],
                               {}, env=env, program=self.dump_program)

    def test_each_kind_of_difference_in_each_form(self):
        self.write_pair(self.OLD, self.NEW)
        old_name = self.db_arg("old.dbs").encode()
        new_name = self.db_arg("new.dbs").encode()
        changes = [
            b"changed\tC:\\Docs\\Caf\xe9.txt\tlast-write 1970-01-01T00:00:05Z"
            b" -> 1970-01-01T00:00:09Z\n",
            b"changed\tC:\\size\tsize 5 -> 7\n",
            b"changed\tC:\\born\tcreation 1970-01-01T00:00:02Z"
            b" -> 1970-01-01T00:00:20Z\n"]
        # What waited for a partner to the end comes last, in path order.
        rest = [
            b"added\tC:\\Caf\xc3\xa9\\new.txt\t" + times(11, 12, 13, 14) + b"\n",
            b"removed\tC:\\Docs\\gone.txt\t" + times(1, 2, 3, 10) + b"\n",
            b"removed\tC:\\twice\t" + times(1, 2, 3, 2) + b"\n"]
        summary = (b"files added: 1 (14 bytes)\nfiles removed: 2 (12 bytes)\n"
                   b"files changed: 3 (17 bytes before, 19 after)\n"
                   b"drive D: walked only in " + old_name
                   + b", records not compared: 1\n"
                   b"drive E: walked only in " + new_name
                   + b", records not compared: 1\n")
        listing = b"".join(changes + rest) + b"\n" + summary
        for args, stdout in (([], listing), (["--summary"], summary),
                             (["--check"], b"")):
            result = self.diff(args)
            self.assertEqual((1, stdout, b""), (result.returncode,
                                                result.stdout, result.stderr))
        # A last-access time is a change when asked for, and then shown.
        result = self.diff(["--access"])
        self.assertEqual(1, result.returncode, result)
        self.assertEqual(
            [changes[0], b"changed\tC:\\size\tlast-access "
             b"1970-01-01T00:00:03Z -> 1970-01-01T00:00:04Z\tsize 5 -> 7\n",
             changes[2], b"changed\tC:\\acc\tlast-access "
             b"1970-01-01T00:00:03Z -> 1970-01-01T00:00:30Z\n"],
            result.stdout.splitlines(True)[:4])
        self.assertIn(b"files changed: 4 (22 bytes before, 24 after)\n",
                      result.stdout)
        # --match chooses the paths compared.
        result = self.diff(["--match", "*.txt"])
        self.assertEqual(1, result.returncode, result)
        self.assertEqual([changes[0], rest[0], rest[1]],
                         result.stdout.splitlines(True)[:3])
        self.assertIn(b"files changed: 1 (8 bytes before, 8 after)\n",
                      result.stdout)

        # The same records in other orders (the copies of a path in theirs):
        # the same differences.
        backwards = sorted(self.OLD, key=lambda r: r[0], reverse=True)
        for old, new in ((backwards, self.NEW), (self.OLD, self.NEW[::-1])):
            self.write_pair(old, new)
            result = self.diff([])
            self.assertEqual(1, result.returncode, result)
            lines = result.stdout.split(b"\n\n")
            self.assertEqual(sorted(changes + rest),
                             sorted((lines[0] + b"\n").splitlines(True)))
            self.assertEqual(summary, lines[1])
        self.write_pair(self.OLD, self.NEW)

        # JSON and CSV, read back: each difference with its records.
        expected = {
            ("changed", b"C:\\Docs\\Caf\xe9.txt", (5, 6, 7, 8), (9, 6, 7, 8)),
            ("changed", b"C:\\size", (1, 2, 3, 5), (1, 2, 4, 7)),
            ("changed", b"C:\\born", (1, 2, 3, 4), (1, 20, 3, 4)),
            ("added", b"C:\\Caf\xc3\xa9\\new.txt", None, (11, 12, 13, 14)),
            ("removed", b"C:\\Docs\\gone.txt", (1, 2, 3, 10), None),
            ("removed", b"C:\\twice", (1, 2, 3, 2), None)}
        result = self.diff(["--json", "--raw"])
        self.assertEqual((1, b""), (result.returncode, result.stderr))
        objects = [json.loads(l) for l in result.stdout.decode().splitlines()]
        fields = ("last_write", "creation", "last_access", "size")

        def numbers(o, side):
            return tuple(o[side][f] for f in fields) if side in o else None
        self.assertEqual(expected, {
            (o["change"], unescape(o["path"]), numbers(o, "old"),
             numbers(o, "new")) for o in objects if "change" in o})
        others = [o for o in objects if "change" not in o]
        self.assertEqual([("old", b"old", "CD"), ("new", b"new", "CE")],
                         [(o["side"], unescape(o["description"]), o["drives"])
                          for o in others[:2]])
        self.assertEqual({"added": 1, "added_size": 14, "removed": 2,
                          "removed_size": 12, "changed": 3,
                          "changed_old_size": 17, "changed_new_size": 19,
                          "not_compared": [{"drive": "D", "walked_in": "old",
                                            "records": 1},
                                           {"drive": "E", "walked_in": "new",
                                            "records": 1}]},
                         others[2]["summary"])
        result = self.diff(["--csv", "--raw"])
        self.assertEqual((1, b""), (result.returncode, result.stderr))
        rows = list(csv.reader(io.StringIO(result.stdout.decode(), newline=""),
                               strict=True))
        self.assertEqual("change,path,old_last_write,old_creation,"
                         "old_last_access,old_size,new_last_write,new_creation,"
                         "new_last_access,new_size", ",".join(rows[0]))

        def side(values):
            return tuple(map(int, values)) if values[0] else None
        self.assertEqual(expected, {(r[0], unescape(r[1]), side(r[2:6]),
                                     side(r[6:])) for r in rows[1:]})

    def test_identical_databases_and_a_malformed_new_one(self):
        self.write_pair(self.OLD, self.NEW, new_letters=b"CD")
        nothing = b"files added: 0 (0 bytes)\nfiles removed: 0 (0 bytes)\n"
        for args, stdout in (([], b""), (["--check"], b""),
                             (["--summary"], nothing)):
            result = self.diff(args, "old.dbs", "old.dbs")
            self.assertEqual((0, b""), (result.returncode, result.stderr), args)
            self.assertTrue(result.stdout.startswith(stdout), result)
        for args, lines in ((["--csv"], 1), (["--json"], 3)):
            result = self.diff(args, "old.dbs", "old.dbs")
            self.assertEqual((0, lines), (result.returncode,
                                          len(result.stdout.splitlines())))
            self.assertNotIn(b'"change"', result.stdout)
        # Alike but for a drive walked in NEW only, without records: a
        # difference all the same, which the summary alone tells.
        self.write_db(self.read("old.dbs").replace(b"old\0CD\0", b"old\0CDF\0"),
                      "more.dbs")
        result = self.diff([], "old.dbs", "more.dbs")
        self.assertEqual(
            (1, nothing + b"files changed: 0 (0 bytes before, 0 after)\n"
             b"drive F: walked only in " + self.db_arg("more.dbs").encode()
             + b", records not compared: 0\n", b""),
            (result.returncode, result.stdout, result.stderr))
        # NEW cut in its last record: the changes met before are true, but
        # nothing can be said to be added or removed.
        new = self.read("new.dbs")
        self.write_db(new[:-3], "new.dbs")
        result = self.diff([])
        self.assertEqual(2, result.returncode, result)
        self.assertEqual(self.text(
            b"kavelo-dump: " + self.db_arg("new.dbs").encode() + b": offset "
            + str(len(new) - 3).encode() + b": expected the times and size (16 "
            b"bytes) of the record that starts at offset "
            + str(len(new) - len(encode_record(*self.NEW[-1]))).encode()
            + b", found the end of the file\n"), result.stderr)
        self.assertEqual(
            b"changed\tC:\\Docs\\Caf\xe9.txt\tlast-write 1970-01-01T00:00:05Z"
            b" -> 1970-01-01T00:00:09Z\nchanged\tC:\\size\tsize 5 -> 7\n"
            b"changed\tC:\\born\tcreation 1970-01-01T00:00:02Z"
            b" -> 1970-01-01T00:00:20Z\n", result.stdout)
        result = self.diff([], "old.dbs", "missing.dbs")
        self.assertEqual((2, b""), (result.returncode, result.stdout))

    def test_orders_that_differ_through_a_temporary_file(self):
        # Enough records that those waiting for a partner outgrow the memory
        # kept for them, a night later: one in 300 removed, changed or
        # followed by an added one; NEW in OLD's order, then sorted by size.
        old = [(b"C:\\dir%03d\\file%06d.dat" % (i % 400, i), i, 7, 8, i % 997)
               for i in range(200000)]
        night = []
        for i, (path, write, create, access, size) in enumerate(old):
            if i % 300 == 0:
                continue
            night.append((path, write, create, access,
                          size + 1 if i % 300 == 100 else size))
            if i % 300 == 200:
                night.append((path + b".new", 1, 2, 3, 4))
        self.write_pair(old, night, new_letters=b"CD")
        by_size = sorted(night, key=lambda r: (r[4], r))
        sorted_db = (b"VANTOREX\x04\0new\0CD\0\0\0\0\0"
                     + b"".join(encode_record(*r) for r in by_size))
        self.write_db(sorted_db, "sorted.dbs")
        scratch, env = self.runner.scratch_directory(self.path("scratch"))

        def leftovers():
            return [n for n in os.listdir(scratch) if n.startswith(".kv")]
        before = leftovers()
        same = self.diff([], env=env)
        self.assertEqual((1, b""), (same.returncode, same.stderr))
        lines, summary = same.stdout.split(b"\n\n")
        lines = lines.split(b"\n")
        self.assertEqual([667, 666, 667], [
            sum(l.startswith(kind) for l in lines)
            for kind in (b"removed\t", b"added\t", b"changed\t")])
        result = self.diff([], new="sorted.dbs", env=env)
        self.assertEqual((1, b""), (result.returncode, result.stderr))
        self.assertEqual(sorted(lines), sorted(
            result.stdout.split(b"\n\n")[0].split(b"\n")))
        self.assertEqual(summary, result.stdout.split(b"\n\n")[1])
        self.assertEqual(before, leftovers())
        # A last-access time alone is a change when asked for, where the
        # orders differ as where they agree.
        touched = [r[:3] + (r[3] + 1,) + r[4:] if i % 1000 == 1 else r
                   for i, r in enumerate(by_size)]
        self.write_db(b"VANTOREX\x04\0new\0CD\0\0\0\0\0"
                      + b"".join(encode_record(*r) for r in touched),
                      "touched.dbs")
        was = {r[0]: r[1:] for r in old}
        count = sum(r[0] in was and was[r[0]] != r[1:] for r in touched)
        result = self.diff(["--access", "--summary"], new="touched.dbs",
                           env=env)
        self.assertEqual(1, result.returncode, result)
        self.assertIn(b"files changed: %d (" % count, result.stdout)
        self.assertGreater(count, 667 + 150)
        # Cut in its last record: the temporary file goes all the same, and
        # nothing is called added or removed.
        self.write_db(sorted_db[:-3], "sorted.dbs")
        result = self.diff([], new="sorted.dbs", env=env)
        self.assertEqual(2, result.returncode, result)
        self.assertIn(b": expected the times and size", result.stderr)
        changed = {l for l in lines if l.startswith(b"changed\t")}
        self.assertLessEqual(set(result.stdout.splitlines()), changed)
        self.assertEqual(before, leftovers())
        if self.runner.name != "native":
            return  # Wine's temporary directory is the prefix's own
        # The temporary file is made in TMPDIR, and only where the orders
        # differ.
        env = {"TMPDIR": self.path("missing")}
        result = self.diff([], env=env)
        self.assertEqual((1, same.stdout, b""),
                         (result.returncode, result.stdout, result.stderr))
        self.write_db(sorted_db, "sorted.dbs")
        result = self.diff([], new="sorted.dbs", env=env)
        self.assertEqual((2, b"kavelo-dump: cannot create a temporary file\n"),
                         (result.returncode, result.stderr))
        self.assertLessEqual(set(result.stdout.splitlines()), changed)
        # A temporary file that fills the disk half-way through a write, or
        # cannot be read back: trouble, said once, and nothing called added
        # or removed.
        for fault, message in (({"SHORT_WRITE": 1}, b"write to"),
                               ({"SHORT_WRITE": 150}, b"write to"),
                               ({"FAILED_READ": 1}, b"read"),
                               ({"FAILED_READ": 150}, b"read")):
            result = self.diff([], new="sorted.dbs",
                               env=self.fault_shim(**fault))
            self.assertEqual(
                (2, b"kavelo-dump: cannot %s a temporary file\n" % message),
                (result.returncode, result.stderr), fault)
            self.assertLessEqual(set(result.stdout.splitlines()), changed)

class CommandLine(DumpCase):
    def test_usage_and_wrong_command_lines(self):
        self.write_db(SMALL)
        result = self.runner.run(["-h"], {}, program=self.dump_program)
        self.assertEqual((0, b""), (result.returncode, result.stderr))
        self.assertTrue(result.stdout.startswith(
            self.text(b"kavelo-dump v%s\nusage: kavelo-dump [options] FILE...\n"
                      % harness.VERSION.encode())), result)
        try_help = b"Try 'kavelo-dump -h' for the usage.\n"
        db = self.db_arg().encode()
        cases = [
            (["--bogus", self.db_arg()], b"unknown option --bogus\n"),
            ([], b"no database file given\n"),
            (["--diff", self.db_arg()],
             b"--diff compares two files, OLD and NEW; 1 given\n"),
            (["--diff", "-0", self.db_arg(), self.db_arg()],
             b"-0 and --diff cannot be combined\n"),
            (["--match"], b"--match needs a pattern\n"),
            (["--access", self.db_arg()],
             b"--access counts with --diff only\n"),
            (["--csv", "--json", self.db_arg()],
             b"--csv and --json cannot be combined\n"),
        ]
        for args, message in cases:
            result = self.runner.run(args, {}, program=self.dump_program)
            self.assertEqual(
                (2, b"", self.text(b"kavelo-dump: " + message + try_help)),
                (result.returncode, result.stdout, result.stderr), args)
        result = self.dump(["--check"], "missing.dbs")
        self.assertEqual((2, b""), (result.returncode, result.stdout))
        self.assertTrue(result.stderr.startswith(
            b"kavelo-dump: cannot open " + self.db_arg("missing.dbs").encode()
            + b": "), result)


class RoundTrip(DumpCase):
    def test_lists_exactly_what_kavelo_wrote(self):
        root = self.make_tree("k", {"a.txt": b"hello", "Docs/b.dat": b"0123456789",
                                    "Docs/Sub/c": b"", "empty": None})
        times = {"a.txt": (1300000000, 1300000100),
                 "Docs/b.dat": (1709208000, 1709208060),
                 "Docs/Sub/c": (951782400, 951782400)}
        for name, (write, access) in times.items():
            self.set_times(os.path.join(root, name), write, access)
        result = self.kavelo(["-LK", "-D", self.db_arg(), "-TcNightly"],
                             {"K": ("fixed", root)})
        self.assert_ok(result)
        db = Database(self.read())
        expected = []
        for name, (write, access) in times.items():
            creation = self.birth_time(os.path.join(root, name))
            expected.append(b"\t".join([
                b"K:\\" + name.replace("/", "\\").encode(), iso(write).encode(),
                iso(creation).encode(), iso(access).encode(),
                str(os.path.getsize(os.path.join(root, name))).encode()]))
        result = self.dump([])
        self.assertEqual((0, b""), (result.returncode, result.stderr))
        head, _, listing = result.stdout.partition(b"\n\n")
        self.assertEqual(b"creator: Nightly\ndescription: \ndrives: K\ntime: "
                         + iso(db.time).encode(), head)
        lines = listing.splitlines()
        self.assertEqual(sorted(expected), sorted(lines))
        # In the file's own order, as the other forms give it too.
        self.assertEqual(db.paths(), [line.split(b"\t")[0] for line in lines])
        self.assert_dump(["-0"], b"".join(p + b"\0" for p in db.paths()))
        raw = self.dump(["--json", "--raw"]).stdout.decode("utf-8").splitlines()
        self.assertEqual(db.records, [
            (unescape(o["path"]), o["last_write"], o["creation"],
             o["last_access"], o["size"]) for o in map(json.loads, raw[1:])])
        self.assert_dump(["--check"], b"")
