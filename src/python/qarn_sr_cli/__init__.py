"""The qarn-sr command line: symbolic regression on a data file.

    qarn-sr fit data.csv --target y --out model.json
    qarn-sr predict model.json new.csv --out predictions.csv
    qarn-sr constant 1.5707963

Run ``qarn-sr --help`` (or ``python -m qarn_sr_cli --help``) for the options.
"""

from qarn_sr_cli._main import build_parser, main

__all__ = ["build_parser", "main"]
