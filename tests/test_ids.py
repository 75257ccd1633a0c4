"""Order ids come from a pool of OS random bytes; a forked child must never repeat its parent's."""
import os

import pytest

import varnholt


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
def test_parent_and_forked_child_never_share_ids():
    # Draw one id first so the parent's pool holds unused bytes when it forks.
    varnholt.Order(varnholt.OrderType.Buy, 1, 1.0)
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        ids = "\n".join(varnholt.Order(varnholt.OrderType.Buy, 1, 1.0).id for _ in range(300))
        os.write(write_end, ids.encode())
        os._exit(0)
    os.close(write_end)
    parent_ids = {varnholt.Order(varnholt.OrderType.Buy, 1, 1.0).id for _ in range(300)}
    chunks = []
    while chunk := os.read(read_end, 65536):
        chunks.append(chunk)
    os.close(read_end)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    child_ids = set(b"".join(chunks).decode().split("\n"))
    assert len(child_ids) == 300
    assert not parent_ids & child_ids
