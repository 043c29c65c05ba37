"""The C++ actor example (examples/cpp_actor.cpp, built with the C++ tests)
against a real server: what it sends arrives whole and in order, and a
server whose layout does not fit is refused before anything is sent.

RAVO_CPP_ACTOR names the built example (tools/test.sh sets it); without it
these tests are skipped.
"""

import os
import subprocess

import numpy as np
import pytest

from support.raw_producer import WAIT, e2e_fixture

ACTOR = os.environ.get("RAVO_CPP_ACTOR", "")
pytestmark = pytest.mark.skipif(not os.path.isfile(ACTOR), reason="RAVO_CPP_ACTOR does not name the built example")

e2e = e2e_fixture()

ACTOR_LAYOUT = [(1, [84, 84, 4]), (4, []), (8, [])]
OBS_BYTES = 84 * 84 * 4


def run_actor(port, *args):
    return subprocess.run([ACTOR, "--port", str(port), *args], capture_output=True, text=True, timeout=WAIT * 6)


def test_vectorised_steps_arrive_whole_and_in_order(e2e):
    steps, envs, actor_id = 12, 4, 5
    server = e2e.server(ACTOR_LAYOUT, batch_size=16)
    done = run_actor(server.port, "--id", str(actor_id), "--steps", str(steps), "--envs", str(envs),
                     "--window", "8")
    assert done.returncode == 0, done.stderr
    assert done.stdout == f"actor {actor_id}: {steps * envs} samples acknowledged\n"
    assert done.stderr == ""

    obs, rewards, ids = [], [], []
    for _ in range(steps * envs // 16):
        arrays, _ = server.sample()
        obs.append(arrays[0].reshape(16, OBS_BYTES).copy())
        rewards.append(arrays[1].view(np.float32).copy())
        ids.append(arrays[2].view(np.int64).copy())
    obs, rewards, ids = np.concatenate(obs), np.concatenate(rewards), np.concatenate(ids)
    seq = np.arange(steps * envs)
    assert (ids == (actor_id << 40) | seq).all()
    assert (rewards == (seq % 7).astype(np.float32)).all()
    # Each row carries its step in its first byte; the rest of an
    # observation is its environment's random image, the same at every step.
    assert (obs[:, 0] == seq // envs).all()
    assert (obs[:, 1:] == np.tile(obs[:envs, 1:], (steps, 1))).all()
    assert len({obs[e, 1:].tobytes() for e in range(envs)}) == envs


def test_a_layout_that_does_not_fit_is_refused_before_sending(e2e):
    server = e2e.server([(4, [2, 3]), (2, [])], batch_size=1)
    done = run_actor(server.port, "--steps", "1")
    assert done.returncode == 1
    assert done.stderr == ("cpp_actor: the server's layout is [2,3] x 4 B, [] x 2 B; "
                           "this actor sends [84,84,4] x 1 B, [] x 4 B, [] x 8 B\n")
    assert done.stdout == ""
