"""The output directory of a run: its outputs appear all at once, or not at all.

    with OutputDir("out") as out:          # checks "out", locks it, makes a folder for this run
        ...                                # the work; files go to out.path("tracks.csv") etc.
        out.write_json("summary.json", summary)
        out.commit()                       # (also done on leaving the block without an error)

Layout. Each output is a relative symbolic link in the directory into a private folder,
`.trakora`, that holds every result as a folder of its own and a link `current` to the
published one:

    out/tracks.csv   -> .trakora/current/tracks.csv
    out/summary.json -> .trakora/current/summary.json
    out/.trakora/current -> run-k3j2a9            the published result
    out/.trakora/run-k3j2a9/tracks.csv ...        its files
    out/.trakora/run-x81bq0/                      the run in progress, invisible until published
    out/.trakora/lock                             held by the run in progress

`out/tracks.csv` reads as a plain file (the links are relative, so a moved or copied folder
keeps working). A run writes its files into its own folder. The commit checks that every name
it wrote is free or one of our links, syncs the files, adds the links for names the published
result does not have (they resolve to nothing until the next step, so nothing visible
changes), and publishes by replacing `current` with a link to the new folder: one `rename`
of one directory entry. Before it every output reads as the previous result, after it as the
new one; there is no moment in between, whatever kills the process. Then the links of names
the new result does not have (now resolving to nothing) and the previous folder are removed;
a failure there changes nothing visible and the next run finishes the cleanup.

An exception, Ctrl-C or a SIGTERM turned into an exception before the publishing step removes
the links it added and the run's folder; a process killed outright leaves them, and the next
run into the directory removes them (they were invisible). Ctrl-C and SIGTERM arriving during
the commit take effect once it is done.

The user's files are never touched: a link is ours only when it is a symbolic link whose
target is exactly `.trakora/current/<its name>`, the record every run leaves of the names it
published. A regular file, a folder or any other link under an output name (say the user's
own `drift.csv`) is left alone: when this run does not write that name it stays as it is, and
when it does the run is refused with one line naming the file, before anything is changed.

A lock (`flock` on `.trakora/lock`) is held from entering the block to leaving it, so two
runs into one directory never interleave: the second is refused at once.
"""
from __future__ import annotations

import os
import secrets
import shutil
import signal
import tempfile
import threading
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .errors import OutputError
from .jsonsafe import to_json_safe, write_json
from .tables import write_csv

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["OutputDir", "OutputDirBusy", "OutputDirError", "check_output_dir"]

PRIVATE = ".trakora"
CURRENT = "current"
LOCK = "lock"
RUN_PREFIX = "run-"
SUMMARY = "summary.json"


class OutputDirError(OutputError):
    """The output directory cannot be used; the message is one line naming it."""


class OutputDirBusy(OutputDirError):
    """Another run holds the output directory."""


def _reason(exc: OSError) -> str:
    return exc.strerror or str(exc)


def check_output_dir(path: str | Path) -> Path:
    """Make sure `path` can take the outputs: create it if missing, check that it is a
    directory that this process can write to. Returns it; raises OutputDirError (one line
    naming the directory) otherwise."""
    path = Path(path)
    try:
        path.mkdir(parents=True, exist_ok=True)
    except FileExistsError:
        raise OutputDirError(f"output directory '{path}' exists and is not a directory; choose a directory",
                             str(path)) from None
    except OSError as exc:
        raise OutputDirError(f"output directory '{path}': cannot create the directory ({_reason(exc)}); "
                             "choose another", str(path)) from None
    if not path.is_dir():
        raise OutputDirError(f"output directory '{path}' is not a directory; choose a directory", str(path))
    try:
        fd, probe = tempfile.mkstemp(prefix=".trakora-probe-", dir=path)
        os.close(fd)
        os.unlink(probe)
    except OSError as exc:
        raise OutputDirError(f"output directory '{path}' is not writable ({_reason(exc)}); fix its permissions "
                             "or choose another", str(path)) from None
    return path


def _fsync(path: Path, directory: bool = False) -> None:
    fd = os.open(path, os.O_RDONLY | (getattr(os, "O_DIRECTORY", 0) if directory else 0))
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _link_target(name: str) -> str:
    return f"{PRIVATE}/{CURRENT}/{name}"


class _DeferredSignals:
    """Holds SIGINT and SIGTERM back (main thread only) and delivers them on exit."""

    SIGNALS = tuple(s for s in (getattr(signal, "SIGINT", None), getattr(signal, "SIGTERM", None)) if s)

    def __enter__(self):
        self.caught: list[int] = []
        self.previous: dict[int, Any] = {}
        if threading.current_thread() is threading.main_thread():
            for sig in self.SIGNALS:
                current = signal.getsignal(sig)
                if current is not None:         # None: a handler Python cannot put back
                    self.previous[sig] = signal.signal(sig, lambda signum, frame: self.caught.append(signum))
        return self

    def __exit__(self, *exc):
        for sig, handler in self.previous.items():
            signal.signal(sig, handler)
        for sig in self.caught:
            handler = self.previous[sig]
            if callable(handler):
                handler(sig, None)
            elif handler == signal.SIG_DFL:
                os.kill(os.getpid(), sig)
        return False


class OutputDir:
    """The output directory of one run (see the module's description).

    Entering locks the directory (OutputDirBusy when another run holds it) and makes the
    run's folder; `path(name)` is where a writer puts output `name`; `commit()` publishes
    everything and returns the summary written with `write_json("summary.json", ...)` (or
    None). Leaving the block commits when it ends normally and no commit was tried yet,
    discards the run's files when it ends with an exception or the commit failed, and
    releases the lock.
    """

    def __init__(self, directory: str | Path):
        self.directory = Path(directory)
        self.run: Path | None = None
        self.summary: dict | None = None
        self.committed = False
        self.failed = False
        self._real = self.directory
        self._lock_fd: int | None = None
        self._asked: dict[str, None] = {}       # names in the order `path` gave them

    # -- lifetime
    def __enter__(self) -> OutputDir:
        self.open()
        return self

    def __exit__(self, exc_type, exc, tb) -> None:
        try:
            if exc_type is None and not self.committed and not self.failed:
                self.commit()
        finally:
            self.close()

    @property
    def _private(self) -> Path:
        return self._real / PRIVATE

    def _error(self, message: str, path: Path | None = None) -> OutputDirError:
        return OutputDirError(f"output directory '{self.directory}' {message}",
                              str(path if path is not None else self.directory))

    def open(self) -> None:
        """Check and lock the directory, clear what killed runs left, make the run's folder."""
        check_output_dir(self.directory)
        self._real = self.directory.resolve()
        private = self._private
        try:
            private.mkdir(exist_ok=True)
        except OSError as exc:
            raise self._error(f"cannot hold trakora's folder {PRIVATE} ({_reason(exc)}); move away what is "
                              "there or choose another", private) from None
        if private.is_symlink() or not private.is_dir():
            raise self._error(f"holds {PRIVATE}, which is not trakora's folder; move it away or choose another",
                              private)
        try:
            fd = os.open(private / LOCK, os.O_RDWR | os.O_CREAT | getattr(os, "O_CLOEXEC", 0), 0o644)
        except OSError as exc:
            raise self._error(f"cannot open its lock file {PRIVATE}/{LOCK} ({_reason(exc)}); fix its permissions "
                              "or choose another", private / LOCK) from None
        try:
            import fcntl
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            raise OutputDirBusy(f"output directory '{self.directory}' is in use by another trakora run; "
                                "wait for it or choose another", str(self.directory)) from None
        except BaseException:
            os.close(fd)
            raise
        self._lock_fd = fd
        try:
            self._clean_up()
            try:
                self.run = self._new_folder(private)
            except OSError as exc:
                raise self._error(f"cannot take a new result in its folder {PRIVATE} ({_reason(exc)}); fix its "
                                  "permissions or choose another", private) from None
            self._check_links_work(self.run)
        except BaseException:
            self.close()
            raise

    @staticmethod
    def _new_folder(private: Path) -> Path:
        """A fresh folder for this run's result, readable as the umask allows (as files
        written straight into the directory would be, unlike a private temporary folder)."""
        while True:
            folder = private / f"{RUN_PREFIX}{secrets.token_hex(4)}"
            try:
                folder.mkdir(0o777)
                return folder
            except FileExistsError:
                continue

    def _check_links_work(self, folder: Path) -> None:
        probe = folder / ".link-probe"
        try:
            os.symlink("probe", probe)
            os.unlink(probe)
        except OSError as exc:
            raise self._error(f"is on a filesystem without symbolic links ({_reason(exc)}); choose another") from None

    def _published(self) -> Path | None:
        """The folder `current` points at, if any."""
        current = self._private / CURRENT
        if not current.is_symlink():
            return None
        return self._private / os.readlink(current)

    def _ours(self, name: str) -> bool:
        """Whether `name` in the directory is a link a trakora run made."""
        entry = self._real / name
        try:
            return entry.is_symlink() and os.readlink(entry) == _link_target(name)
        except OSError:
            return False

    def _our_links(self) -> list[str]:
        return sorted(entry.name for entry in os.scandir(self._real) if self._ours(entry.name))

    def _clean_up(self) -> None:
        """Remove what killed or failed runs left, none of it visible: folders of results
        that were never published or were replaced, half-made `current` links, and our links
        that resolve to nothing. Only a holder of the lock does this."""
        private, published = self._private, self._published()
        for entry in private.iterdir():
            try:
                if entry.name.startswith(RUN_PREFIX) and entry != published and not entry.is_symlink():
                    shutil.rmtree(entry)
                elif entry.name.startswith(f"{CURRENT}.") and entry.is_symlink():
                    entry.unlink()
            except OSError:
                continue
        for name in self._our_links():
            if not (self._real / name).exists():
                try:
                    (self._real / name).unlink()
                except OSError:
                    continue

    def close(self) -> None:
        """Remove the run's folder (when not published) and release the lock."""
        try:
            if self.run is not None and not self.committed:
                shutil.rmtree(self.run, ignore_errors=True)
            self.run = None
        finally:
            if self._lock_fd is not None:
                os.close(self._lock_fd)
                self._lock_fd = None

    # -- writing
    def _free(self, name: str) -> None:
        """Refuse a name taken in the directory by anything but our link."""
        entry = self._real / name
        if os.path.lexists(entry) and not self._ours(name):
            kind = "folder" if entry.is_dir() and not entry.is_symlink() else "file"
            raise OutputDirError(f"'{self.directory / name}' is a {kind} trakora did not write; move it away "
                                 "or choose another output directory", str(self.directory / name))

    def path(self, name: str) -> Path:
        """Where to write output `name` (a plain file name) during the run; refused when the
        directory holds something else than a trakora output under that name."""
        if self.run is None:
            raise RuntimeError("the output directory is not open (use it in a `with` block)")
        if not name or name != Path(name).name or name in (".", "..", PRIVATE):
            raise ValueError(f"output names are plain file names, got {name!r}")
        self._free(name)
        self._asked.setdefault(name, None)
        return self.run / name

    def write_json(self, name: str, obj: Any) -> Any:
        """Write `obj` as strict JSON; returns what was written (see `jsonsafe.to_json_safe`)."""
        safe = to_json_safe(obj)
        write_json(safe, self.path(name))
        if name == SUMMARY:
            self.summary = safe
        return safe

    def write_csv(self, name: str, table: pd.DataFrame, *, index: bool = False) -> None:
        write_csv(table, self.path(name), index=index)

    def written(self) -> list[str]:
        """Names of the files written so far, in the order their paths were first asked for
        (files put there otherwise after them, by name)."""
        if self.run is None:
            return []
        files = {entry.name for entry in self.run.iterdir() if entry.is_file() and not entry.is_symlink()}
        return [n for n in self._asked if n in files] + sorted(files - self._asked.keys())

    # -- commit
    def commit(self) -> dict | None:
        """Publish the run's files (see the module's description); returns the summary
        written, if any. Raises, with the previous result still published, when a name is
        taken by a file that is not ours or a step before the publishing one fails."""
        if self.committed or self.failed:
            raise RuntimeError(f"the outputs were {'committed' if self.committed else 'refused'} already")
        if self.run is None:
            raise RuntimeError("the output directory is not open (use it in a `with` block)")
        names = self.written()
        self.failed = True          # until published
        for name in names:
            self._free(name)
        private, previous = self._private, self._published()
        added: list[Path] = []
        staged = private / f"{CURRENT}.{self.run.name}"
        with _DeferredSignals():
            try:
                for name in names:
                    _fsync(self.run / name)
                _fsync(self.run, directory=True)
                for name in names:
                    if not self._ours(name):
                        os.symlink(_link_target(name), self._real / name)
                        added.append(self._real / name)
                if added:
                    _fsync(self._real, directory=True)
                os.symlink(self.run.name, staged)
                os.replace(staged, private / CURRENT)            # the result is published
            except BaseException as exc:
                for link in [*added, staged]:
                    try:
                        os.unlink(link)
                    except OSError:
                        pass
                if isinstance(exc, OSError):
                    raise self._error(f"cannot take the new outputs ({_reason(exc)}); the previous ones are "
                                      "unchanged") from exc
                raise
            self.committed, self.failed = True, False
            self._after_publishing(names, previous)
        return self.summary

    def _after_publishing(self, names: list[str], previous: Path | None) -> None:
        """Make it durable and remove what the previous result left; failures here change
        nothing visible and are left for the next run to clean up."""
        try:
            _fsync(self._private, directory=True)
            for name in self._our_links():
                if name not in names:
                    os.unlink(self._real / name)
            if previous is not None and previous != self.run and previous.parent == self._private:
                shutil.rmtree(previous)
            _fsync(self._real, directory=True)
        except OSError:
            pass
