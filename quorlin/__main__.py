"""``python -m quorlin``: the ``quorlin`` command (also under torchrun: ``torchrun ... -m quorlin``)."""
import sys

from quorlin.cli import main

sys.exit(main())
