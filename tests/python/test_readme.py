"""The README's Python code runs as written: each ```python block, pasted
into a file of its own, ends by itself with status 0 within the time limit,
and where the README shows what a block prints (a ```text block after a line
ending in "prints:"), it prints exactly that."""
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
TIME_LIMIT = 30  # seconds, for each block

FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.S | re.M)


def python_blocks():
    """(line number, code, expected output or None) for each python block."""
    text = README.read_text()
    fences = list(FENCE.finditer(text))
    blocks = []
    for i, fence in enumerate(fences):
        if fence.group(1) != "python":
            continue
        expected = None
        following = fences[i + 1] if i + 1 < len(fences) else None
        if following is not None and following.group(1) == "text":
            between = text[fence.end():following.start()].strip()
            if between.endswith("prints:") and "\n\n" not in between:
                expected = following.group(2)
        blocks.append((text.count("\n", 0, fence.start()) + 1, fence.group(2), expected))
    return blocks


BLOCKS = python_blocks()


def test_the_readme_has_its_sample():
    assert BLOCKS and "asyncio.run(main())" in BLOCKS[0][1] and BLOCKS[0][2] is not None


@pytest.mark.parametrize("line, code, expected", BLOCKS, ids=[f"line-{b[0]}" for b in BLOCKS])
def test_block_runs_as_written(line, code, expected, tmp_path):
    script = tmp_path / f"readme_line_{line}.py"
    script.write_text(code)
    env = {k: v for k, v in os.environ.items() if k not in ("RUST_LOG", "NO_COLOR")}
    done = subprocess.run([sys.executable, str(script)], cwd=tmp_path, env=env, capture_output=True,
                          text=True, timeout=TIME_LIMIT)
    assert done.returncode == 0, done.stdout + done.stderr
    if expected is not None:
        assert done.stdout == expected
