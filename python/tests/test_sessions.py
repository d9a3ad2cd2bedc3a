import threading

import numpy as np
import pytest

import tarvel

PROMPT = [1, 299, 968, 261, 810, 267]


def test_fork_is_isolated(model):
    s = model.session()
    s.step(PROMPT)
    f = s.fork()
    assert (f.position, f.tokens) == (s.position, s.tokens) == (6, tuple(PROMPT))

    a = f.step([5, 6])
    assert (s.position, s.tokens) == (6, tuple(PROMPT))
    assert f.tokens == tuple(PROMPT + [5, 6])
    # The original continues as if the fork had never stepped.
    np.testing.assert_array_equal(s.step([5, 6]), a)
    np.testing.assert_array_equal(s.step([9]), f.step([9]))


def test_save_restore_round_trip(model):
    s = model.session()
    s.step(PROMPT)
    data = s.save()
    assert isinstance(data, bytes) and data[:8] == b"TARVCTS1"

    r = model.session()
    r.restore(data)
    assert (r.position, r.tokens) == (s.position, s.tokens)
    assert r.save() == data
    np.testing.assert_array_equal(r.step([7, 8]), s.step([7, 8]))

    # Any bytes-like object will do, and explicit limits are honoured.
    m = model.session()
    m.restore(memoryview(bytearray(data)), limits=model.snapshot_limits())
    assert m.tokens == tuple(PROMPT)


def damaged(data):
    flipped = bytearray(data)
    flipped[len(flipped) // 2] ^= 0x01
    return bytes(flipped)


def tiny_limits():
    limits = tarvel.ArtifactLimits()
    limits.max_file_bytes = 64
    return limits


@pytest.mark.parametrize("make_bytes,limits,kind", [
    (damaged, None, "corrupt_bytes"),
    (lambda data: data[:-9], None, "corrupt_bytes"),
    (lambda data: b"", None, "corrupt_bytes"),
    (lambda data: data, tiny_limits, "limit_exceeded"),
])
def test_refused_snapshot_leaves_the_session_unchanged(model, make_bytes, limits, kind):
    source = model.session()
    source.step(PROMPT)
    target = model.session()
    target.step([1, 2, 3])
    before = target.save()
    witness = target.fork()

    with pytest.raises(tarvel.ArtifactError) as refused:
        target.restore(make_bytes(source.save()), limits=limits() if limits else None)
    assert refused.value.kind == kind
    assert isinstance(refused.value, ValueError)
    assert str(refused.value)  # the runtime's one-line message

    assert (target.position, target.tokens) == (3, (1, 2, 3))
    assert target.save() == before
    np.testing.assert_array_equal(target.step([4]), witness.step([4]))


def test_damaged_snapshot_message_is_the_runtimes(model):
    s = model.session()
    s.step(PROMPT)
    with pytest.raises(tarvel.ArtifactError) as refused:
        model.session().restore(b"TARVCTS1")
    assert refused.value.kind == "corrupt_bytes"
    assert "\n" not in str(refused.value)


@pytest.mark.parametrize("tokens,options,cls,base,kind,message", [
    ([1, 1024], {}, tarvel.KvInputError, ValueError, "invalid_input",
     "token id exceeds vocabulary"),
    ([1] * 254, {}, tarvel.KvContextError, ValueError, "context_exceeded",
     "decode exceeds model context"),
    ([1], {"max_cache_bytes": 10}, tarvel.KvResourceError, MemoryError, "resource_limit",
     "KV cache exceeds configured byte limit"),
])
def test_refused_step_raises_its_kind_and_leaves_the_session_unchanged(
        model, tokens, options, cls, base, kind, message):
    s = model.session()
    s.step([1, 2, 3])
    witness = s.fork()
    with pytest.raises(cls) as refused:
        s.step(tokens, **options)
    assert isinstance(refused.value, tarvel.KvError) and isinstance(refused.value, base)
    assert refused.value.kind == kind
    assert str(refused.value) == message
    assert (s.position, s.tokens) == (3, (1, 2, 3))
    assert s.save() == witness.save()
    np.testing.assert_array_equal(s.step([4]), witness.step([4]))


@pytest.mark.parametrize("call,error,message", [
    (lambda m: m.session().step([1], precision="half"), ValueError,
     'precision must be "double" or "float32"'),
    (lambda m: m.tokenizer.decode([5000]), IndexError, "token id exceeds tokenizer vocabulary"),
    (lambda m: m.generate("x", top_p=0.0), ValueError,
     "top-p must be greater than zero and at most one"),
    (lambda m: m.generate("x", temperature=-1.0), ValueError,
     "temperature must be finite and not negative"),
    (lambda m: m.forward([[1, 2], [3]]), ValueError,
     "batch rows differ in width; pad them to one width and give lengths"),
    (lambda m: tarvel.load("/nonexistent/tarvel-model"), ValueError, None),
    (lambda m: m.session().step([-1]), TypeError, None),
])
def test_runtime_errors_map_to_python_types(model, call, error, message):
    with pytest.raises(error) as raised:
        call(model)
    assert not isinstance(raised.value, tarvel.KvError)
    if message is not None:
        assert str(raised.value) == message


def test_two_threads_stepping_two_sessions_equal_a_serial_run(model):
    chunks = [PROMPT, [5], [17, 300], [9], [1000, 2, 3, 4], [44]]
    other = [[1, 5, 9], [300], [7, 7, 7], [1023], [12], [0, 1]]

    def run(sequence, out, barrier=None):
        s = model.session()
        if barrier is not None:
            barrier.wait()
        for _ in range(20):
            s.reset()
            out[:] = [s.step(chunk) for chunk in sequence]

    serial_a, serial_b = [], []
    run(chunks, serial_a)
    run(other, serial_b)

    barrier = threading.Barrier(2)
    par_a, par_b = [], []
    threads = [threading.Thread(target=run, args=(chunks, par_a, barrier)),
               threading.Thread(target=run, args=(other, par_b, barrier))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for got, expected in [(par_a, serial_a), (par_b, serial_b)]:
        assert len(got) == len(expected)
        for g, e in zip(got, expected):
            np.testing.assert_array_equal(g, e)


def test_a_session_used_from_two_threads_at_once_is_refused_not_corrupted(model):
    s = model.session()
    errors = []
    barrier = threading.Barrier(2)

    def hammer():
        barrier.wait()
        for _ in range(200):
            try:
                s.step([1])
                s.reset()
            except RuntimeError as e:
                errors.append(str(e))
            except tarvel.KvError:
                pass

    threads = [threading.Thread(target=hammer) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert set(errors) <= {"object is in use by another thread"}
    s.reset()
    np.testing.assert_array_equal(s.step([1]), model.session().step([1]))


@pytest.mark.parametrize("precision", ["double", "float32"])
def test_thread_counts_give_the_same_bits(model, precision):
    def run(threads):
        s = model.session()
        steps = [s.step(PROMPT, precision=precision, threads=threads)]
        steps += [s.step([t], precision=precision, threads=threads) for t in (5, 6, 7)]
        full = model.forward([PROMPT], precision=precision, threads=threads)
        text = "".join(model.generate("In the beginning", 8, threads=threads))
        return steps, full, text

    one_steps, one_full, one_text = run(1)
    for threads in (0, 2, 3, 4):
        steps, full, text = run(threads)
        for a, b in zip(steps, one_steps):
            np.testing.assert_array_equal(a.view(np.uint64), b.view(np.uint64))
        np.testing.assert_array_equal(full.view(np.uint64), one_full.view(np.uint64))
        assert text == one_text
