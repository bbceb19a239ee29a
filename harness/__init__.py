"""The end-to-end harness shared by tests/e2e/ and scripts/demo.py: the real vtlauncher.exe
under Wine, its windows under X, servers on loopback, sample patches and what the stand-in
client and the list reader report. Standard library only.

Everything is importable from the package itself (harness.wait_window, harness.make_patch ...);
the modules group it by job."""

from .poll import eventually, wait_until
from .checks import ROOT, Checks, parse_args
from .launcher import (CANCEL, CONNECT, ERROR_CAPTION, FAILED_CAPTION, PATCH_CAPTION,
                       SERVER_CAPTION, AppDir, message_boxes, outcome, stop, wine_env, wait_exit,
                       windows_path)
from .xwin import (click, colours, geometry, key, screenshot, signature, wait_painted,
                   wait_window, windows, x_env)
from .servers import Nginx, StallingServer, StaticServer, TrickleServer, accepts, port_free
from .patchtree import (differences, installed_as_served, installed_files, make_patch,
                        profile_only)
from .publish import (SIGNED_EXE, TEST_KEY, TEST_PUB, object_name, object_of, publish,
                      served_expected, signed_patch, vtpatch_path, write_tree)
from .inifile import ini_bytes, read_ini
from .standin import list_rows, read_standin, wait_rows
from .runlog import RunLog, log_path, read_only
from .isolation import case, end_launchers, end_marked, end_process, isolated, marked, run

__all__ = [name for name in dir() if not name.startswith("_")]
