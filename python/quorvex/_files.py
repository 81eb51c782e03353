"""Writing the files users name: all at once or not at all, never over something by surprise.

`OutputFile` writes to a new file beside the target (a hidden name of its own, ending in the
target's name so that writers choosing a type by suffix still see it) and moves it into place
only when the writing succeeded; on a failure the temporary file is removed and whatever was at
the target stays as it was. Without `overwrite` an existing target is refused, and a target that
appears while the file is written is not replaced either: the finished file is hard-linked to
the target name, which fails if the name is taken (on a file system without hard links the
check and the rename are two steps, so a file created in between is replaced). With `overwrite`
the target name is replaced: a symbolic link there is replaced by the new file, never written
through into what it points to. A target that is one of the inputs (the same file under any
name: a link, a hard link) is refused, overwrite or not.
"""

import errno
import os
import pathlib
import secrets
import stat
from collections.abc import Iterable
from types import TracebackType

_O_CLOEXEC = getattr(os, "O_CLOEXEC", 0)


def _same_file(first: os.stat_result, second: os.stat_result) -> bool:
    return (first.st_dev, first.st_ino) == (second.st_dev, second.st_ino)


def check_target(
    target: str | os.PathLike[str], *, overwrite: bool = False, inputs: Iterable[str | os.PathLike[str]] = ()
) -> pathlib.Path:
    """The target as a path, after the checks OutputFile makes first: FileExistsError for a
    target that exists (without `overwrite`) or is one of `inputs`; IsADirectoryError or
    ValueError for a target no file can replace (a folder, a FIFO, a device)."""
    path = pathlib.Path(target)
    try:
        found = os.stat(path)  # through links: an input reached by a link is still the input
    except FileNotFoundError:
        found = None  # nothing there, or a link to nothing (replaced only with overwrite, below)
    if found is not None:
        for source in inputs:
            try:
                same = _same_file(found, os.stat(source))
            except OSError:
                continue
            if same:
                raise FileExistsError(f"{path} is the input {source}; choose another output name")
    try:
        here = os.lstat(path)
    except FileNotFoundError:
        return path
    if stat.S_ISDIR(here.st_mode):
        raise IsADirectoryError(f"{path} is a folder")
    if not (stat.S_ISREG(here.st_mode) or stat.S_ISLNK(here.st_mode)):
        raise ValueError(f"{path} exists and is not a regular file; it is left alone")
    if not overwrite:
        what = "a link" if stat.S_ISLNK(here.st_mode) else "a file"
        raise FileExistsError(f"{path} exists ({what}); pass overwrite (--overwrite) to replace it")
    return path


class OutputFile:
    """A file written under a temporary name and moved to `target` on commit() (or at the end of
    a `with` block that raised nothing); abort() (or an exception) removes it. `path` is the
    temporary name to write to, `fd` its descriptor."""

    def __init__(
        self,
        target: str | os.PathLike[str],
        *,
        overwrite: bool = False,
        inputs: Iterable[str | os.PathLike[str]] = (),
    ) -> None:
        self._inputs = [os.fspath(source) for source in inputs]
        self.target = check_target(target, overwrite=overwrite, inputs=self._inputs)
        self.overwrite = overwrite
        folder = self.target.parent
        # The target's name at the end keeps its suffix, by which writers choose the file type.
        tail = self.target.name if len(os.fsencode(self.target.name)) <= 200 else self.target.suffix[-40:]
        for _ in range(100):
            candidate = folder / f".{secrets.token_hex(4)}.tmp-{tail}"
            try:
                self.fd = os.open(candidate, os.O_WRONLY | os.O_CREAT | os.O_EXCL | _O_CLOEXEC, 0o666)
            except FileExistsError:
                continue
            except OSError as error:  # named after the target: the temporary name means nothing to users
                raise type(error)(f"cannot write {self.target}: {error.strerror or error}") from error
            self.path = candidate
            break
        else:
            raise FileExistsError(f"cannot find a free temporary name in {folder}")
        self.done = False

    def close_fd(self) -> None:
        """Closes the descriptor (after writing through it), syncing the data to the disk first."""
        if self.fd >= 0:
            fd, self.fd = self.fd, -1
            try:
                os.fsync(fd)
            finally:
                os.close(fd)

    def commit(self, *, keep: bool = False) -> pathlib.Path:
        """Moves the written file to the target; the temporary file is gone after, either way,
        except with `keep` when the target was taken meanwhile (the FileExistsError names the
        file kept)."""
        if self.done:
            return self.target
        try:
            self.close_fd()
            # The target may have appeared, or become an input, while the file was written.
            check_target(self.target, overwrite=self.overwrite, inputs=self._inputs)
            try:
                here = os.lstat(self.target)
                if stat.S_ISREG(here.st_mode):
                    os.chmod(self.path, stat.S_IMODE(here.st_mode) & 0o777)
            except FileNotFoundError:
                pass
            if self.overwrite:
                os.replace(self.path, self.target)  # replaces a link there, not the file it points to
            else:
                self._move_without_replacing()
        except FileExistsError as taken:
            if not keep:
                self.abort()
                raise
            self.done = True
            raise FileExistsError(f"{taken}; what was written is in {self.path}") from None
        except BaseException:
            self.abort()
            raise
        self.done = True
        _sync_folder(self.target.parent)
        return self.target

    def _move_without_replacing(self) -> None:
        try:
            os.link(self.path, self.target, follow_symlinks=False)
        except FileExistsError:
            raise FileExistsError(f"{self.target} appeared while it was written; it is left alone") from None
        except OSError as error:
            if error.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.ENOTSUP, errno.EMLINK, errno.EXDEV):
                raise
            # No hard links here: checked just before, so only a file made this instant is replaced.
            os.rename(self.path, self.target)
            return
        os.unlink(self.path)

    def abort(self) -> None:
        """Removes the temporary file; the target is left as it was. Idempotent."""
        if self.fd >= 0:
            fd, self.fd = self.fd, -1
            os.close(fd)
        if not self.done:
            self.done = True
            try:
                os.unlink(self.path)
            except FileNotFoundError:
                pass

    def __enter__(self) -> "OutputFile":
        return self

    def __exit__(
        self, kind: type[BaseException] | None, value: BaseException | None, traceback: TracebackType | None
    ) -> None:
        if kind is None:
            self.commit()
        else:
            self.abort()


def _sync_folder(folder: pathlib.Path) -> None:
    try:
        fd = os.open(folder, os.O_RDONLY | _O_CLOEXEC)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass  # some file systems cannot sync a folder; the rename is made all the same
    finally:
        os.close(fd)

