import logging
import subprocess
import sys
import warnings

from quorlin import console
from quorlin.errors import QuorlinWarning

log = logging.getLogger("quorlin.somewhere")


def test_reports_reach_standard_output_in_a_plain_script():
    script = ("from quorlin.model.amberith import Amberith\n"
              "import logging\n"
              "logging.getLogger('quorlin.data.maltrey').info('Loading data for dev partition...')\n"
              "Amberith(5, 4)\n")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert done.stdout == ("Loading data for dev partition...\n"
                           "Warning: d_model=5 is odd. Amberith assumes d_model is even.\n")
    assert done.stderr == ""


def test_what_each_setting_shows_and_where(capsys):
    log.info("├── Type: COSINE")
    assert capsys.readouterr() == ("├── Type: COSINE\n", "")
    console.configure(reports_to_stderr=True)
    log.info("2 transcript(s) written to out")
    assert capsys.readouterr() == ("", "2 transcript(s) written to out\n")
    console.configure(console.QUIET)
    log.info("not shown")
    log.warning("Warning: shown")
    warnings.warn("a/b.npy: shown each time", QuorlinWarning)
    warnings.warn("a/b.npy: shown each time", QuorlinWarning)
    assert capsys.readouterr() == ("Warning: shown\n", "quorlin: warning: a/b.npy: shown each time\n" * 2)
