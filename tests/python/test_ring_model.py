"""The ring against a shadow model: random interleavings of submit() and
sample() over many passes of the ring, for every small batch size and ring
depth, with short and missing items. Every batch is checked for its bytes,
its start address (region + first slot x slot bytes) and the gauges that
come with it, and every view still held is checked again after each step:
a view shows whatever its slots hold now, so a slot reused too early, an
off-by-one at the wrap or a batch given back twice shows up as a mismatch.
"""

import random

import numpy as np
import pytest

import ravo

S = ravo._Server

# Five leaves: a vector, a scalar, a zero-sized leaf, 3 bytes, 2x3 of 2 bytes.
LAYOUT = ([[4], [], [0], [3], [2, 3]], [1, 8, 4, 1, 2])
SLOT = [4, 8, 0, 3, 12]


def sample_items(pid):
    return [
        (pid & 0xFFFFFFFF).to_bytes(4, "little"),
        (pid * 0x9E3779B1 & 0xFFFFFFFFFFFFFFFF).to_bytes(8, "little"),
        b"",
        bytes([(pid * 7) & 0xFF, (pid * 11) & 0xFF, (pid * 13) & 0xFF]),
        bytes(((pid + k) * 31) & 0xFF for k in range(12)),
    ]


class Ring:
    """What every slot must hold, and the FIFO positions: written, given
    back, handed out."""

    def __init__(self, batch, buffers, slot):
        self.batch, self.capacity = batch, batch * buffers
        self.slot = slot
        self.bytes = [bytearray(sb * self.capacity) for sb in slot]
        self.written = 0
        self.given_back = 0
        self.handed_out = 0
        self.holding = False

    def room(self):
        return self.capacity - (self.written - self.given_back)

    def head_complete(self):
        return self.written >= self.handed_out + self.batch

    def write(self, items):
        # Items shorter than their slot, or missing, leave the rest of the
        # slot as it was.
        at = self.written % self.capacity
        for leaf, item in enumerate(items):
            sb = self.slot[leaf]
            self.bytes[leaf][at * sb:at * sb + len(item)] = item
        self.written += 1

    def take(self):
        """The next call's batch start slot (giving the held batch back), or
        None when the next call would find no complete batch."""
        if self.holding:
            self.given_back += self.batch
        self.holding = False
        if not self.head_complete():
            return None
        start = self.handed_out % self.capacity
        self.handed_out += self.batch
        self.holding = True
        return start

    def expect(self, leaf, start):
        sb = self.slot[leaf]
        return bytes(self.bytes[leaf][start * sb:(start + self.batch) * sb])


def check_views(arrays, batch, slot):
    assert type(arrays) is list and len(arrays) == len(slot)
    for a, sb in zip(arrays, slot):
        assert type(a) is np.ndarray and a.dtype == np.uint8 and a.shape == (batch * sb,)
        assert a.flags.c_contiguous and not a.flags.writeable and not a.flags.owndata


def drain_after_shutdown(s, ring):
    """The complete batches left come out in order, then None for good."""
    s.shutdown()
    while True:
        got = s.sample()
        start = ring.take()
        if start is None:
            assert got is None
            break
        assert got is not None
        for leaf in range(len(ring.slot)):
            assert bytes(got[0][leaf]) == ring.expect(leaf, start)
    assert s.sample() is None


@pytest.mark.parametrize("buffers", [2, 3, 4, 5])
@pytest.mark.parametrize("batch", [1, 2, 3, 4, 5, 6, 7])
def test_ring_matches_its_model_over_many_passes(batch, buffers):
    rng = random.Random(batch * 100 + buffers)
    s = S(*LAYOUT, batch, num_buffers=buffers)
    ring = Ring(batch, buffers, SLOT)
    pid = 0
    base = None  # each leaf's address of slot 0
    held = []  # earlier calls' views with their start slots
    batches = 0
    while batches < 6 * buffers + 5:
        if ring.room() > 0 and (not ring.head_complete() or rng.random() < 0.6):
            items = sample_items(pid)
            mode = rng.random()
            if mode < 0.1:
                items = items[:rng.randrange(0, len(items))]
            elif mode < 0.2:
                items = [it[:rng.randrange(0, len(it) + 1)] for it in items]
            s.submit(items)
            ring.write(items)
            pid += 1
        else:
            arrays, info = s.sample()
            start = ring.take()
            check_views(arrays, batch, SLOT)
            batches += 1
            assert info.notify_count == ring.written // batch
            assert info.store_size == ring.written - ring.handed_out
            addresses = [a.__array_interface__["data"][0] for a in arrays]
            if base is None:
                assert start == 0
                base = addresses
            for leaf, sb in enumerate(SLOT):
                if sb:
                    assert addresses[leaf] == base[leaf] + start * sb, (leaf, start)
                assert bytes(arrays[leaf]) == ring.expect(leaf, start), (leaf, start, batches)
            held = (held + [(arrays, start)])[-(buffers + 2):]
        for arrays, start in held:
            for leaf in range(len(SLOT)):
                assert bytes(arrays[leaf]) == ring.expect(leaf, start)
    drain_after_shutdown(s, ring)


@pytest.mark.parametrize("seed", range(8))
def test_random_layouts_match_the_model(seed):
    rng = random.Random(seed)
    leaves = rng.choice([1, 2, 7, 40])
    shapes = [[rng.choice([0, 1, 2, 3, 5]) for _ in range(rng.randrange(0, 3))] for _ in range(leaves)]
    sizes = [rng.choice([1, 2, 3, 4, 8]) for _ in range(leaves)]
    slot = [int(np.prod(shape, dtype=np.int64)) * size for shape, size in zip(shapes, sizes)]
    batch, buffers = rng.randrange(1, 8), rng.randrange(2, 6)
    s = S(shapes, sizes, batch, num_buffers=buffers)
    ring = Ring(batch, buffers, slot)
    held = None
    for _ in range(buffers * batch * 8):
        if ring.room() > 0 and (not ring.head_complete() or rng.random() < 0.55):
            items = [rng.randbytes(sb) for sb in slot]
            s.submit(items)
            ring.write(items)
        else:
            arrays, _ = s.sample()
            start = ring.take()
            check_views(arrays, batch, slot)
            held = (arrays, start)
        if held:
            for leaf in range(leaves):
                assert bytes(held[0][leaf]) == ring.expect(leaf, held[1])
    drain_after_shutdown(s, ring)
