"""The readiness dialogue, through a real pseudo-terminal.

Wine reports every configured removable or CD drive as ready, so no drive
can be made not ready there: these cases run natively only.
"""

import fcntl
import os
import pty
import select
import shutil
import signal
import subprocess
import tempfile
import termios
import time

from harness import Case, Database

PROMPT = b"Cannot read drive A. Drive not ready. Abort, Retry, Ignore? "


class Session:
    """kavelo with a pseudo-terminal as its controlling terminal, standard
    output and error on pipes."""

    def __init__(self, command, env):
        self.master, slave = pty.openpty()
        self.proc = subprocess.Popen(
            command, stdin=slave, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            env=env, start_new_session=True,
            preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        os.close(slave)
        self.out = b""
        self.shown = b""  # what the terminal showed

    def expect(self, text, timeout=20, terminal=False):
        """Reads standard output, or the terminal, until it ends in `text`."""
        source = self.master if terminal else self.proc.stdout.fileno()
        have = self.shown if terminal else self.out
        deadline = time.time() + timeout
        while not have.endswith(text):
            left = deadline - time.time()
            if left <= 0:
                raise AssertionError("waited for %r, have %r" % (text, have))
            ready, _, _ = select.select([source], [], [], left)
            if ready:
                chunk = os.read(source, 4096)
                if not chunk:
                    raise AssertionError("ended before %r: %r" % (text, have))
                have += chunk
                if terminal:
                    self.shown = have
                else:
                    self.out = have

    def send(self, keys):
        """Types `keys` once the read waits for them: the prompt comes before
        the read switches the terminal to raw input, and a Ctrl+C typed ahead
        of that is still the terminal's interrupt."""
        deadline = time.time() + 10
        while self.terminal_modes() & termios.ICANON:
            if time.time() > deadline:
                raise AssertionError("the read never began: %r" % self.out)
            time.sleep(0.005)
        os.write(self.master, keys)

    def finish(self):
        rest, err = self.proc.communicate(timeout=60)
        self.out += rest
        return self.proc.returncode, err

    def terminal_modes(self):
        return termios.tcgetattr(self.master)[3]

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        os.close(self.master)


class Dialogue(Case):
    def setUp(self):
        super().setUp()
        if not self.runner.can_make_drive_not_ready:
            self.skipTest("Wine reports every configured removable or CD drive "
                          "as ready: the dialogue is shown natively")
        self.k = self.make_tree("k", {"k.txt": b""})
        self.floppy = self.path("floppy")  # not there yet: not ready
        self.drives = {"K": ("fixed", self.k), "A": ("removable", self.floppy)}
        self.work = tempfile.mkdtemp(prefix="kavelo-run-")
        self.addCleanup(shutil.rmtree, self.work, True)

    def start(self, args):
        env = self.runner.environment(self.work, self.drives)
        session = Session([self.runner.program] + args + ["-D", self.db_arg()], env)
        self.addCleanup(session.close)
        return session

    def test_other_keys_ask_again(self):
        # (drives, key that asks again, answer, exit code, letters written)
        cases = [
            ("-LA", b"x", b"a", 4, None),         # a: Abort, nothing written
            ("-LKA", b"\x03", b"I", 0, b"K"),    # Ctrl+C is a key; I: Ignore
        ]
        for drives, other, answer, code, letters in cases:
            with self.subTest(key=other):
                session = self.start([drives])
                session.expect(PROMPT)
                session.send(other)
                session.expect(other + b"\n" + PROMPT)
                session.send(answer)
                self.assertEqual((code, b""), session.finish())
                self.assertEqual(PROMPT + other + b"\n" + PROMPT + answer + b"\n",
                                 session.out)
                if letters is None:
                    self.assertFalse(os.path.exists(self.path("files.dbs")))
                else:
                    self.assertEqual(letters, self.database().letters)

    def test_function_keys_give_two_values(self):
        # F7's scan code is `A`: Abort.  Insert's is `R`: Retry.
        session = self.start(["-LA"])
        session.expect(PROMPT)
        session.send(b"\x1b[2~")  # Insert
        session.expect(b"\xe0\n" + PROMPT + b"R\n" + PROMPT)
        session.send(b"\x1b[18~")  # F7
        self.assertEqual((4, b""), session.finish())
        self.assertEqual(PROMPT + b"\xe0\n" + PROMPT + b"R\n" + PROMPT +
                         b"\0\n" + PROMPT + b"A\n", session.out)

    def test_escape_alone_does_not_hang(self):
        session = self.start(["-LA"])
        session.expect(PROMPT)
        session.send(b"\x1b")
        session.expect(b"\x1b\n" + PROMPT, timeout=5)
        session.send(b"i")
        self.assertEqual((4, b""), session.finish())  # no drive walked

    def test_retry_walks_a_drive_made_ready(self):
        session = self.start(["-LAK"])
        session.expect(PROMPT)
        session.send(b"r")
        session.expect(b"r\n" + PROMPT)  # still not ready: asked again
        self.make_tree("floppy", {"disk.txt": b"on the disk"})
        session.send(b"R")
        self.assertEqual((0, b""), session.finish())
        self.assertEqual(PROMPT + b"r\n" + PROMPT + b"R\n", session.out)
        db = self.database()
        self.assertEqual(b"AK", db.letters)
        self.assertEqual([b"A:\\disk.txt", b"K:\\k.txt"], db.paths())

    def test_abort_after_another_drive_was_walked(self):
        with open(self.path("files.dbs"), "wb") as f:
            f.write(b"earlier")
        session = self.start(["-LKA"])
        session.expect(PROMPT)
        session.send(b"A")
        self.assertEqual((4, b""), session.finish())
        self.assertEqual(b"earlier", self.read())
        self.assert_no_leftovers()

    def test_quiet_mode_never_asks(self):
        session = self.start(["-LKA", "-Q"])
        self.assertEqual((0, b""), session.finish())
        self.assertEqual(b"", session.out)
        self.assertEqual(b"K", self.database().letters)

    def test_terminal_is_restored_after_the_read_and_when_interrupted(self):
        session = self.start(["-LAA"])
        session.expect(PROMPT)
        deadline = time.time() + 10  # the read switches modes after the prompt
        while session.terminal_modes() & (termios.ICANON | termios.ECHO):
            self.assertLess(time.time(), deadline, "the read never went raw")
            time.sleep(0.01)
        session.send(b"i")
        session.expect(b"i\n" + PROMPT)
        while session.terminal_modes() & termios.ICANON:
            self.assertLess(time.time(), deadline, "the second read never began")
            time.sleep(0.01)
        session.proc.send_signal(signal.SIGTERM)
        code, _ = session.finish()
        self.assertEqual(-signal.SIGTERM, code)
        modes = session.terminal_modes()
        self.assertEqual(termios.ICANON | termios.ECHO | termios.ISIG,
                         modes & (termios.ICANON | termios.ECHO | termios.ISIG))

    def test_database_on_standard_output_asks_on_the_terminal(self):
        # Standard error may go to a log nobody reads while the run waits:
        # the terminal that the answer comes from shows the question.
        env = self.runner.environment(self.work, self.drives)
        session = Session([self.runner.program, "-LAK", "-D", "/dev/stdout"], env)
        self.addCleanup(session.close)
        session.expect(PROMPT, terminal=True)
        session.send(b"i")
        session.expect(b"i\r\n", terminal=True)  # the terminal's own line ends
        self.assertEqual((0, b""), session.finish())
        self.assertEqual(PROMPT + b"i\r\n", session.shown)
        self.assertEqual(b"K", Database(session.out).letters)

    def test_no_terminal_answers_ignore(self):
        # Started in a session of its own with no terminal: nothing to read.
        result = self.kavelo(["-LAK", "-D", self.db_arg()], self.drives)
        self.assertEqual((0, b""), (result.returncode, result.stderr))
        self.assertEqual(PROMPT + b"\n", result.stdout)
        self.assertEqual(b"K", self.database().letters)
        # Where the database goes to standard output, the prompt does not.
        if self.runner.name == "native":
            result = self.kavelo(["-LAK", "-D", "/dev/stdout"], self.drives)
            self.assertEqual((0, PROMPT + b"\n"), (result.returncode, result.stderr))
            self.assertEqual(b"K", Database(result.stdout).letters)
