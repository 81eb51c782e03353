#!/usr/bin/env bash
# The whole test suite again with the interpreter lock released around every library call and
# calls serialised per camera (QX_RELEASE_GIL=camera); extra arguments go to pytest.
set -euo pipefail
QX_RELEASE_GIL=camera exec bash "$(dirname "${BASH_SOURCE[0]}")/test.sh" -p no:cacheprovider "$@"
