"""The package inside the engines users run on several processes or machines: PyTorch
DistributedDataParallel, and Dask's distributed scheduler."""

import importlib.util
import socket
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

torch = pytest.importorskip("torch")

HERE = Path(__file__).resolve().parent


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def test_data_parallel_training_equals_one_process(tmp_path):
    # Each of 2 gloo processes sees half of the batch; DDP averages their gradients, which
    # must be the gradient of the whole batch's mean loss to float32 rounding.
    done = subprocess.run([sys.executable, str(HERE / "distributed_training.py"), str(tmp_path),
                           str(free_port())], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    distributed = torch.load(tmp_path / "distributed.pt")
    one_process = torch.load(tmp_path / "one_process.pt")
    assert torch.any(one_process != 0)
    torch.testing.assert_close(distributed, one_process)


def test_alignments_in_dask_partitions_equal_one_call():
    distributed = pytest.importorskip("dask.distributed")
    spec = importlib.util.spec_from_file_location(
        "dask_alignments", HERE.parents[1] / "examples" / "dask_alignments.py")
    example = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(example)
    reference = np.sin(np.linspace(0, 6, 40)).astype(np.float32)
    signals = example.warped_copies(90, reference, seed=3)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        spread = example.in_partitions(client, signals, reference, 16, gamma=0.2, end="free")
    whole = example.alignment_statistics(signals, reference, gamma=0.2, end="free")
    for name in example.STATISTICS:
        assert spread[name].tobytes() == whole[name].tobytes(), name
