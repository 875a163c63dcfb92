import sys

from qarn_sr_cli import main

sys.exit(main())
