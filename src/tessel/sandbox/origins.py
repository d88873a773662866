"""Where code comes from: a library, or the caller's own."""

import os
import site
import sys
import sysconfig

def _library_dirs():
    dirs = {sysconfig.get_path(key) for key in ("stdlib", "platstdlib", "purelib", "platlib")}
    try:
        dirs.update(site.getsitepackages())
        dirs.add(site.getusersitepackages())
    except AttributeError:  # a virtualenv's old site module
        pass
    dirs.update(p for p in sys.path if os.path.basename(p) in ("site-packages", "dist-packages"))
    return tuple(os.path.join(os.path.realpath(d), "") for d in dirs if d)


_LIBRARY_DIRS = None
_FILE_IS_LIBRARY = {}


def _library_file(path):
    """True for a file of the standard library or of an installed package."""
    global _LIBRARY_DIRS
    known = _FILE_IS_LIBRARY.get(path)
    if known is None:
        if _LIBRARY_DIRS is None:
            _LIBRARY_DIRS = _library_dirs()
        real = os.path.realpath(path) if os.path.isabs(path) else path
        known = _FILE_IS_LIBRARY[path] = real.startswith(_LIBRARY_DIRS)
    return known


def _library_module(name):
    """True when the module `name` is a library's rather than the caller's own code."""
    if name == "__main__":
        return False
    if not isinstance(name, str):
        return True
    module = sys.modules.get(name)
    if module is None:
        # Classes of a script run by runpy name a module that was never imported.
        return name.partition(".")[0] in sys.stdlib_module_names
    path = getattr(module, "__file__", None)
    return path is None or _library_file(path)


def _library_function(f):
    code = f.__code__.co_filename
    # Modules frozen into the interpreter (os among them) name no file.
    return code.startswith("<frozen") or _library_file(code) or _library_module(f.__module__)
