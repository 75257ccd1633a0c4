"""Replaying files on a Dask cluster: one task per file.

Each task reads its file where the worker finds it (the paths must name the
same files on every worker: a shared file system, or the same copy on each
machine), replays every instrument in it, writes its Parquet results if
asked, and returns its summaries; the driver gathers them in job order.
Dask is imported only here, and this module only when a cluster is asked for.
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import Any

from ..optional import require
from ..progress import ProgressBar
from ..runner import Job, Options, Summary, failure_summary, replay_file

def _distributed() -> Any:
    return require("distributed")


def run_on_cluster(client: Any, jobs: Sequence[Job], options: Options = Options(), *,
                   progress: ProgressBar | None = None) -> list[Summary]:
    """Replays every job as a task on the cluster of ``client`` (a
    ``dask.distributed.Client``); the summaries come back in job order."""
    distributed = _distributed()
    futures = [client.submit(replay_file, job, options, key=f"varnholt-replay-{i}-{job.path}", pure=False)
               for i, job in enumerate(jobs)]
    index = {future.key: i for i, future in enumerate(futures)}
    results: list[list[Summary]] = [[] for _ in jobs]
    for future in distributed.as_completed(futures):
        i = index[future.key]
        try:
            results[i] = future.result()
        except Exception as error:  # the task failed on the worker or was lost with it
            results[i] = [failure_summary(jobs[i], error)]
        if progress is not None:
            progress.advance(jobs[i].size)
    return [summary for group in results for summary in group]


@contextmanager
def connect(scheduler: str | None = None, processes: int = 2) -> Iterator[Any]:
    """A client of the scheduler at ``scheduler``, or of a local cluster of
    ``processes`` single-threaded worker processes started for the run."""
    distributed = _distributed()
    if scheduler is not None:
        with distributed.Client(scheduler) as client:
            yield client
        return
    with distributed.LocalCluster(n_workers=processes, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        yield client
