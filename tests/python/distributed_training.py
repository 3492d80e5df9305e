"""One step of learning a template with orvane.torch.SoftDTWLoss under PyTorch
DistributedDataParallel (gloo, 2 processes on this machine, each with half of a batch), and
the same step in one process over the whole batch. Saves both gradients of the template to
the folder named on the command line; test_distributed.py compares them."""

import os
import sys
from pathlib import Path

import torch
import torch.distributed as dist
from torch.nn.parallel import DistributedDataParallel

import orvane.torch as otorch

WORLD = 2


class Template(torch.nn.Module):
    def __init__(self, length=60):
        super().__init__()
        self.values = torch.nn.Parameter(torch.linspace(-1.0, 1.0, length))

    def forward(self):
        return self.values


def batch():
    generator = torch.Generator().manual_seed(0)
    signals = torch.randn(8, 80, generator=generator)
    lengths = torch.randint(50, 81, (8,), generator=generator).tolist()
    return signals, lengths


def gradient(model, signals, lengths):
    loss = otorch.SoftDTWLoss(gamma=0.1)(signals, model(), lengths=lengths)
    loss.backward()


def rank_step(rank, port, folder):
    os.environ.update(MASTER_ADDR="127.0.0.1", MASTER_PORT=str(port))
    dist.init_process_group("gloo", rank=rank, world_size=WORLD)
    model = Template()
    parallel = DistributedDataParallel(model)
    signals, lengths = batch()
    shard = slice(rank * len(lengths) // WORLD, (rank + 1) * len(lengths) // WORLD)
    gradient(parallel, signals[shard], lengths[shard])
    if rank == 0:
        torch.save(model.values.grad, Path(folder) / "distributed.pt")
    dist.barrier()  # both ranks done before either tears its connections down
    dist.destroy_process_group()
    # gloo's worker thread may still be releasing the barrier's work, which takes the GIL: an
    # interpreter shutting down makes that thread exit mid-destructor and abort the process
    # (seen about one run in five). The rank's results are saved; leave without shutting down.
    os._exit(0)


def main(folder, port):
    torch.multiprocessing.spawn(rank_step, args=(port, folder), nprocs=WORLD)
    alone = Template()
    gradient(alone, *batch())
    torch.save(alone.values.grad, Path(folder) / "one_process.pt")


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]))
