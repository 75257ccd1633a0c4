"""The same replays as tasks on a Dask cluster of two worker processes."""

import pytest
from varnholt_replay.cli import main
from varnholt_replay.running.cluster import run_on_cluster
from varnholt_replay.running.local import run_local
from varnholt_replay.runner import Options, make_job

distributed = pytest.importorskip("distributed")


def test_cluster_results_equal_local_ones(lobster_files, itch_file, tmp_path, capsys):
    jobs = [make_job(lobster_files.messages), make_job(itch_file[0]), make_job(tmp_path / "gone.itch")]
    local = run_local(jobs, Options())
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=40) as cluster, distributed.Client(cluster) as client:
        remote = run_on_cluster(client, jobs, Options())
        status = main([str(lobster_files.messages), str(itch_file[0]), "--scheduler", cluster.scheduler_address,
                       "--no-progress"])
    assert [s.key() for s in remote] == [s.key() for s in local]
    assert remote[-1].error.endswith("gone.itch: No such file or directory")
    assert status == 0
    table = capsys.readouterr().out
    assert all(s.instrument in table for s in local[:-1])
