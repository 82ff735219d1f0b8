"""python -m zeto_compiled_tests: the same as the zeto-compiled-tests command."""

import sys

from zeto_compiled_tests.cli import main

sys.exit(main())
