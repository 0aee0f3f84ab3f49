"""The example notebook runs headless from top to bottom (jupyter nbconvert) on two generated
runs, saves its figure and ends without an error in any cell."""

import json
import os
import shutil
import subprocess
from pathlib import Path

import pytest

from conftest import needs_tool, run_tool

NOTEBOOK = Path(__file__).parents[2] / "examples" / "five-questions.ipynb"

pytestmark = [needs_tool,
              pytest.mark.skipif(not shutil.which("jupyter"), reason="jupyter not installed")]


def test_the_example_notebook_runs(tmp_path):
    run_tool("generate", "--tiles", 16, "--steps-per-tile", 200, "-o", tmp_path / "run.json")
    run_tool("generate", "--tiles", 16, "--steps-per-tile", 200, "--slow-kernel", "gemm",
             "--slow-factor", "1.5", "-o", tmp_path / "slow.json")
    environment = dict(os.environ, MPLBACKEND="Agg", JUPYTER_PLATFORM_DIRS="1",
                       HOME=str(tmp_path), MPLCONFIGDIR=str(tmp_path / "mpl"))
    # The kernel runs in the notebook's folder: a copy beside the runs keeps the figure there.
    shutil.copy(NOTEBOOK, tmp_path / "notebook.ipynb")
    done = subprocess.run(
        ["jupyter", "nbconvert", "--to", "notebook", "--execute", "--output", "executed",
         "--ExecutePreprocessor.timeout=120", "notebook.ipynb"],
        cwd=tmp_path, env=environment, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    executed = json.loads((tmp_path / "executed.ipynb").read_text())
    outputs = [o for cell in executed["cells"] if cell["cell_type"] == "code" for o in cell["outputs"]]
    assert not [o for o in outputs if o["output_type"] == "error"]
    assert (tmp_path / "phases.png").stat().st_size > 1000
    assert any("gemm" in json.dumps(o) for o in outputs)
