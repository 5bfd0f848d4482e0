"""Stored times: true seconds since 1970 UTC, whatever the season and order;
0 for local readings before 1900; -1 outside what 32 bits hold."""

import os
import tempfile
import time
import unittest

from harness import Case

# Central Europe with its daylight-saving rule spelt out (glibc and the
# 32-bit Windows runtime both read this form).
CET = "CET-1CEST,M3.5.0,M10.5.0/3"
SUMMER = 1688212800  # 2023-07-01 12:00:00 UTC
WINTER = 1673784000  # 2023-01-15 12:00:00 UTC
INT32_MAX = 2147483647
LOCAL_1900 = -2208988800  # 1900-01-01 00:00:00 as seconds since 1970


def bias_now(zone):
    """Seconds the zone adds to UTC now: the bias Win32 applies to any date."""
    saved = os.environ.get("TZ")
    os.environ["TZ"] = zone
    time.tzset()
    try:
        return time.localtime().tm_gmtoff
    finally:
        if saved is None:
            del os.environ["TZ"]
        else:
            os.environ["TZ"] = saved
        time.tzset()


class Seasons(Case):
    def zone(self):
        return self.runner.daylight_zone()

    def test_both_seasons_in_both_orders(self):
        summer = self.make_tree("s", {"summer.txt": b""})
        winter = self.make_tree("w", {"winter.txt": b""})
        both = self.make_tree("b", {"1summer.txt": b"", "2winter.txt": b""})
        self.set_times(os.path.join(summer, "summer.txt"), SUMMER, SUMMER + 60)
        self.set_times(os.path.join(winter, "winter.txt"), WINTER, WINTER + 60)
        self.set_times(os.path.join(both, "1summer.txt"), SUMMER, SUMMER + 60)
        self.set_times(os.path.join(both, "2winter.txt"), WINTER, WINTER + 60)
        drives = {"S": ("fixed", summer), "W": ("fixed", winter), "B": ("fixed", both)}
        for zone, order in (("UTC", "SWB"), (self.zone(), "SWB"),
                            (self.zone(), "WSB"), (self.zone(), "BWS")):
            result = self.kavelo(["-L" + order, "-D", self.db_arg()], drives,
                                 env={"TZ": zone})
            self.assert_ok(result)
            db = self.database()
            for path, seconds in ((b"S:\\summer.txt", SUMMER),
                                  (b"W:\\winter.txt", WINTER),
                                  (b"B:\\1summer.txt", SUMMER),
                                  (b"B:\\2winter.txt", WINTER)):
                _, write, _, access, _ = db.record(path)
                self.assertEqual((seconds, seconds + 60), (write, access),
                                 (zone, order, path))


class Limits(Case):
    def wide_tree(self, root, times):
        """A tree on a file system that keeps any 64-bit time, with one file
        per entry of `times` ({name: seconds since 1970 UTC})."""
        base = None
        for candidate in (self.runner.temp_root(), "/dev/shm"):
            directory = tempfile.mkdtemp(prefix="kavelo-times-", dir=candidate)
            probe = os.path.join(directory, "probe")
            open(probe, "wb").close()
            try:
                os.utime(probe, (LOCAL_1900 - 86400, LOCAL_1900 - 86400))
                kept = int(os.stat(probe).st_mtime) == LOCAL_1900 - 86400
            except OSError:
                kept = False
            os.remove(probe)
            if kept:
                base = directory
                break
            os.rmdir(directory)
        if base is None:
            self.skipTest("no file system here keeps times before 1901")
        self.addCleanup(lambda: [os.remove(os.path.join(base, n)) for n in os.listdir(base)]
                        and os.rmdir(base))
        for name, seconds in times.items():
            path = os.path.join(base, name)
            open(path, "wb").close()
            os.utime(path, (seconds, seconds))
        return base

    def check_zone(self, zone):
        bias = bias_now(zone)
        times = {
            "y1601": -11644473600,
            "y1965": -157766400,
            "before1900": LOCAL_1900 - 1 - bias,
            "at1900": LOCAL_1900 - bias,
            "before1970": -1,
            "epoch": 0,
            "last": INT32_MAX,
            "lastlocal": INT32_MAX - max(bias, 0),
            "pastlocal": INT32_MAX - bias + 1,
        }
        expected = {
            "y1601": 0, "y1965": -1, "before1900": 0, "at1900": -1,
            "before1970": -1, "epoch": 0,
            "last": INT32_MAX if bias <= 0 else -1,
            "lastlocal": INT32_MAX - max(bias, 0),
            "pastlocal": -1,
        }
        if self.runner.name == "native":
            # A time in the year 60472, beyond what a FILETIME holds: its
            # ticks since 1601 wrap around 2^64 to a time in 2017.
            times["y60472"] = 2 ** 64 // 10 ** 7 + 1500000000
            expected["y60472"] = -1
        root = self.wide_tree("t", times)
        result = self.kavelo(["-LT", "-D", self.db_arg()], {"T": ("fixed", root)},
                             env={"TZ": zone})
        self.assert_ok(result)
        db = self.database()
        for name, value in expected.items():
            _, write, _, access, _ = db.record(b"T:\\" + name.encode())
            self.assertEqual((value, value), (write, access), (zone, name, bias))

    def test_east_of_utc(self):
        self.check_zone(self.runner.fixed_zone(+1))

    def test_west_of_utc(self):
        self.check_zone(self.runner.fixed_zone(-5))

    def test_daylight_saving_zone(self):
        self.check_zone(self.runner.daylight_zone())
