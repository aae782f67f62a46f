import inspect
import logging
import random
import struct
import sys
import threading
import types

import pytest
from support import run_python

from tarvish.memory import quillet as q
from tarvish.memory.quillet import (FastBucketAllocator, FastSlabHeaderOps, FastStatsCollector, fast_align_size,
                                    fast_bitmap_operations, fast_can_fit_aligned, fast_get_bucket_size)

I32_MIN, I32_MAX = -2**31, 2**31 - 1
H = FastSlabHeaderOps


def wrap32(v):
    return (v + 2**31) % 2**32 - 2**31


def crc16_modbus(data):
    """Bit-at-a-time CRC-16/MODBUS, independent of any table."""
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def header_bytes(size_class, flags, generation, bitmap, checksum=None):
    head = struct.pack("<BBL", size_class, flags, generation)
    if checksum is None:
        checksum = crc16_modbus(head)
    return head + struct.pack("<HQ", checksum, bitmap)


def run_threads(work, count):
    threads = [threading.Thread(target=work, args=(t,)) for t in range(count)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()


class TestBinding:
    def test_module_frame_order(self):
        names = [n for n in vars(q) if not n.startswith("__")]
        assert names == ["threading", "logging", "logger", "FastSlabHeaderOps", "FastBucketAllocator",
                         "FastStatsCollector", "fast_align_size", "fast_get_bucket_size", "fast_bitmap_operations",
                         "fast_can_fit_aligned"]
        assert q.logger.name == "tarvish.memory.quillet"

    def test_load_message(self):
        code = ("import logging; logging.basicConfig(format='%(name)s|%(levelname)s|%(message)s');"
                "logging.getLogger().setLevel(logging.INFO); import tarvish.memory.quillet")
        err = run_python(code).stderr
        assert ("tarvish.memory.quillet|INFO|Tarvish Quillet Cython module loaded - "
                "targeting 1.8-3\u00d7 performance improvement") in err.splitlines()

    @pytest.mark.parametrize("fn, params", [
        (fast_align_size, "(size, alignment)"),
        (FastSlabHeaderOps.unpack_header, "(self, /, data)"),
        (FastStatsCollector.py_record_allocation, "(self, /, size, padding, is_bucketed)"),
    ])
    def test_signatures(self, fn, params):
        assert str(inspect.signature(fn)) == params

    def test_keywords(self):
        a = FastBucketAllocator(medium_block_max=512, bucket_size_step=16)
        assert a.add_to_bucket(size=512, offset=3) and a.remove_from_bucket(size=500) == 3


class TestSizeArithmetic:
    @pytest.mark.parametrize("size, alignment", [
        (13, 8), (16, 8), (0, 1), (-13, 8), (1, 2**30), (I32_MAX, 8), (I32_MAX, 1), (I32_MIN, 4), (I32_MAX - 7, 8)])
    def test_align_wraps_at_32_bits(self, size, alignment):
        assert fast_align_size(size, alignment) == wrap32(size + alignment - 1) & -alignment
        assert fast_align_size(13, 8) == fast_align_size(16, 8) == 16

    @pytest.mark.parametrize("size, step, expected", [
        (1, 8, 8), (8, 8, 8), (9, 8, 16), (100, 64, 128), (0, 8, 0), (-9, 8, 0), (-17, 8, -8), (-1, 1, -1),
        (I32_MAX, 8, -2**31 + 8), (I32_MAX, 1, I32_MAX), (I32_MIN, 8, -2**31 + 8), (I32_MIN, 1, I32_MIN)])
    def test_bucket_size_truncates_and_wraps(self, size, step, expected):
        t = wrap32(size + step - 1)
        assert fast_get_bucket_size(size, step) == wrap32(int(t / step) * step) == expected

    @pytest.mark.parametrize("args, expected", [
        ((0, 64, 64, 8), False), ((0, 64, 63, 8), True), ((4, 64, 56, 8), True), ((4, 64, 60, 8), False),
        # exact arithmetic near the 32-bit limit: a 32-bit wrap gets each of these wrong
        ((I32_MAX - 99, 50, 200, 8), False), ((I32_MAX - 3, 2, 4, 8), False), ((I32_MAX - 7, 16, 4, 8), True),
        # an alignment of 0 or below is not validated: the 32-bit rounding formula stands
        ((5, 10, 1, I32_MIN), True), ((0, 10, 1, I32_MIN), True), ((16, 10, 20, -8), True), ((3, 4, 6, 0), True)])
    def test_can_fit_is_exclusive_and_exact(self, args, expected):
        assert fast_can_fit_aligned(*args) is expected

    def test_random_fits_match_exact_formula(self):
        rnd = random.Random(5)
        for _ in range(2000):
            o, s, n = (rnd.randint(I32_MIN, I32_MAX) for _ in range(3))
            al = 1 << rnd.randint(0, 30)
            assert fast_can_fit_aligned(o, s, n, al) == (((o + al - 1) & -al) + n < o + s)


class TestBucketAllocator:
    def test_default_buckets_are_the_512_multiples_of_8(self):
        a = FastBucketAllocator()
        accepted = [s for s in range(-8, 4200) if a.add_to_bucket(1, s)]
        assert accepted == list(range(8, 4097, 8))

    @pytest.mark.parametrize("step, small, medium", [(8, 256, 4096), (16, 96, 512), (7, 50, 200), (6, 3, 40),
                                                     (12, 0, 60), (8, 256, 100), (10, 255, 300)])
    def test_each_accepted_size_has_its_own_bucket(self, step, small, medium):
        keys = set(range(step, small + 1, step)) | set(range(step + small, medium + 1, step))
        a = FastBucketAllocator(step, small, medium)
        accepted = [s for s in range(-step, max(small, medium) + 2 * step) if a.add_to_bucket(s, s)]
        assert accepted == sorted(k for k in keys if k % step == 0)
        assert [a.remove_from_bucket(s) for s in accepted * 2] == accepted + [None] * len(accepted)

    def test_custom_ranges_and_rounding(self):
        a = FastBucketAllocator(10, 255, 300)
        assert [s for s in range(300) if a.add_to_bucket(s, s)] == list(range(10, 251, 10))
        assert FastBucketAllocator(8, 256, 4096).add_to_bucket(5, 264)
        b = FastBucketAllocator()
        assert b.add_to_bucket(1000, 24) and not b.add_to_bucket(1000, 20) and not b.add_to_bucket(0, 4104)
        b.add_to_bucket(7, 264)
        assert b.remove_from_bucket(257) == 7 and b.remove_from_bucket(4097) is None

    def test_stack_order_and_reinit(self):
        a = FastBucketAllocator()
        a.add_to_bucket(100, 24), a.add_to_bucket(200, 24)
        assert [a.remove_from_bucket(20) for _ in range(3)] == [200, 100, None]
        a.add_to_bucket(5, 16)
        assert a._init_buckets() is None and a.remove_from_bucket(16) is None

    def test_constructor_calls_overridden_init_buckets(self):
        class Sub(FastBucketAllocator):
            def _init_buckets(self):
                self.calls = getattr(self, "calls", 0) + 1
        s = Sub()
        assert s.calls == 1 and not s.add_to_bucket(0, 8)

    def test_best_fit_worked_example(self):
        a = FastBucketAllocator()
        a.add_to_bucket(4, 16)
        assert a.find_best_fit_bucket(16, 8) is None
        assert a.find_best_fit_bucket(12, 4) == 4
        a.add_to_bucket(4, 16), a.add_to_bucket(64, 32)
        assert a.find_best_fit_bucket(16, 8) == 64 and a.remove_from_bucket(16) == 4
        for size in (0, -5, 4097, I32_MIN):
            assert a.find_best_fit_bucket(size, 8) is None

    def test_misfits_are_put_back_on_top(self):
        a = FastBucketAllocator()
        for off, size in [(8, 16), (4, 16), (64, 32), (36, 32), (128, 40), (256, 48)]:
            a.add_to_bucket(off, size)
        # 4 (bucket 16) and 36 (bucket 32) do not fit at alignment 64; 64 under 36 is never tried.
        assert a.find_best_fit_bucket(16, 64) == 128
        assert [a.remove_from_bucket(16), a.remove_from_bucket(32), a.remove_from_bucket(48)] == [4, 36, 256]

    def test_fit_near_32_bit_limit_is_exact(self):
        a = FastBucketAllocator()
        a.add_to_bucket(I32_MAX - 7, 16)
        assert a.find_best_fit_bucket(16, 16) is None  # aligned offset 2**31 lies past the block
        a.add_to_bucket(I32_MAX - 15, 16)
        assert a.find_best_fit_bucket(16, 16) == I32_MAX - 15
        a.add_to_bucket(4, 16)  # 32-bit rounding of an unvalidated alignment: offset -2**31 fits
        assert a.find_best_fit_bucket(16, I32_MIN) == 4

    @pytest.mark.thread_unsafe
    def test_returned_offsets_are_owned_once(self):
        a = FastBucketAllocator()
        a.add_to_bucket(123456, 24), a.add_to_bucket(654321, 32)
        r, f = a.remove_from_bucket(24), a.find_best_fit_bucket(32, 1)
        alone = int("7" * 7)  # a local with no other owner
        counts = [sys.getrefcount(r), sys.getrefcount(f), sys.getrefcount(alone)]
        assert r == 123456 and f == 654321 and counts[0] == counts[1] == counts[2]

    @pytest.mark.threads
    def test_threads_lose_no_offsets(self):
        a, n, nthreads = FastBucketAllocator(), 1500, 4
        barrier, taken = threading.Barrier(nthreads), [[] for _ in range(nthreads)]

        def work(t):
            rnd = random.Random(t)
            barrier.wait()
            for i in range(n):
                size = 8 * rnd.randint(1, 8)
                assert a.add_to_bucket(t * n + i, size)
                got = a.find_best_fit_bucket(size, 1) if i % 3 else a.remove_from_bucket(size)
                if got is not None and rnd.random() < 0.5:
                    taken[t].append(got)
                elif got is not None:
                    assert a.add_to_bucket(got, size)
        run_threads(work, nthreads)
        rest = [o for s in range(8, 4097, 8) for o in iter(lambda s=s: a.remove_from_bucket(s), None)]
        assert sorted(rest + [o for t in taken for o in t]) == list(range(nthreads * n))


class TestStatsCollector:
    def test_fresh_and_recorded(self):
        s = FastStatsCollector()
        assert s.get_stats() == {"total_allocations": 0, "total_deallocations": 0, "bucketed_allocations": 0,
                                 "fallback_allocations": 0, "bucketed_allocation_ratio": "0.0%",
                                 "alignment_padding_bytes": 0}
        for padding, bucketed in [(8, True), (0, []), (4, "yes")]:
            s.py_record_allocation(99, padding, bucketed)
        s.py_record_deallocation()
        assert list(s.get_stats().items()) == [
            ("total_allocations", 3), ("total_deallocations", 1), ("bucketed_allocations", 2),
            ("fallback_allocations", 1), ("bucketed_allocation_ratio", "66.7%"), ("alignment_padding_bytes", 12)]
        s.reset_stats()
        assert s.get_stats()["total_allocations"] == 0

    def test_negative_padding_wraps_unsigned(self):
        s = FastStatsCollector()
        s.py_record_allocation(8, -3, 0), s.py_record_allocation(8, 1, 0)
        assert s.get_stats()["alignment_padding_bytes"] == 2**64 - 2

    @pytest.mark.threads
    def test_threads_count_exactly(self):
        s, n = FastStatsCollector(), 3000
        run_threads(lambda t: [s.py_record_allocation(1, 1, i % 2) for i in range(n)], 4)
        st = s.get_stats()
        assert [st[k] for k in ("total_allocations", "bucketed_allocations", "alignment_padding_bytes")] == [
            4 * n, 2 * n, 4 * n] and st["bucketed_allocation_ratio"] == "50.0%"


class TestSlabHeader:
    def test_exact_bytes(self):
        h = FastSlabHeaderOps(3, 8)
        assert h.pack_header() == bytes.fromhex("03 00 00 00 00 00 00 28 ff 00 00 00 00 00 00 00")
        h.py_allocate_object_at(0)
        assert h.pack_header() == bytes.fromhex("03 10 01 00 00 00 c0 17 fe 00 00 00 00 00 00 00")
        assert not h.py_is_object_free(0) and h.py_find_free_object() == 1
        assert FastSlabHeaderOps(-1, 0).pack_header() == header_bytes(255, 0, 0, 0)

    def test_crc_matches_independent_computation(self):
        assert crc16_modbus(b"123456789") == 0x4B37
        rnd = random.Random(16)
        for _ in range(500):
            fields = rnd.randrange(256), rnd.randrange(256), rnd.randrange(2**32), rnd.randrange(2**64)
            good, h = header_bytes(*fields), FastSlabHeaderOps(0, 64)
            assert h.unpack_header(good) is None and h.pack_header() == good

    @pytest.mark.parametrize("n, mask", [(0, 0), (1, 1), (8, 0xFF), (63, 2**63 - 1), (64, 2**64 - 1),
                                         (70, 2**64 - 1), (-1, 0), (I32_MIN, 0)])
    def test_all_free_mask(self, n, mask):
        assert FastSlabHeaderOps(0, n).pack_header()[8:] == mask.to_bytes(8, "little")

    def test_allocate_free_cycle_clears_in_use(self):
        h = FastSlabHeaderOps(2, 8)
        h.py_allocate_object_at(0), h.py_allocate_object_at(1), h.py_deallocate_object_at(0)
        assert h.pack_header()[1] == 0x10
        h.py_deallocate_object_at(1)
        assert h.pack_header() == header_bytes(2, 0, 4, 0xFF)

    @pytest.mark.parametrize("index", [64, 69, -1, -64, I32_MIN])
    def test_out_of_range_indexes_touch_only_flags_and_generation(self, index):
        h = FastSlabHeaderOps(1, 70)
        assert not h.py_is_object_free(index)
        h.py_allocate_object_at(index)
        assert h.pack_header() == header_bytes(1, 0x10, 1, 2**64 - 1)
        h.py_deallocate_object_at(index)
        assert h.pack_header() == header_bytes(1, 0, 2, 2**64 - 1)

    def test_find_free_and_generation_wrap(self):
        h = FastSlabHeaderOps(0, 3)
        for i in range(3):
            assert h.py_find_free_object() == i
            h.py_allocate_object_at(i)
        assert h.py_find_free_object() == -1
        h.unpack_header(header_bytes(0, 0x04, 2**32 - 1, 0b100))
        h.py_allocate_object_at(2)
        assert h.pack_header() == header_bytes(0, 0x14, 0, 0)

    @pytest.mark.thread_unsafe
    @pytest.mark.parametrize("pos", range(16))
    def test_corruption_detection(self, pos, caplog):
        h = FastSlabHeaderOps(9, 16)
        h.py_allocate_object_at(3)
        data = bytearray(h.pack_header())
        data[pos] ^= 0x5A
        other = FastSlabHeaderOps(0, 1)
        with caplog.at_level(logging.WARNING, logger="tarvish.memory.quillet"):
            other.unpack_header(bytes(data))
        stored, computed = struct.unpack_from("<H", data, 6)[0], crc16_modbus(data[:6])
        packed = other.pack_header()
        if pos < 8:
            assert [r.getMessage() for r in caplog.records] == [
                f"Header corruption detected: stored={stored:04x}, computed={computed:04x}"]
            assert caplog.records[0].levelno == logging.WARNING and packed[1] == data[1] | 0x80
        else:
            assert caplog.records == [] and packed == bytes(data)

    @pytest.mark.thread_unsafe  # replaces the module's logger
    @pytest.mark.parametrize("meddle", [False, True], ids=["alone", "header-changed-meanwhile"])
    def test_a_failed_warning_takes_back_only_its_own_change(self, monkeypatch, meddle):
        h = FastSlabHeaderOps(9, 16)
        before = h.pack_header()

        class FailingLogger:
            def warning(self, message):
                if meddle:
                    h.py_allocate_object_at(0)
                raise RuntimeError(message)

        monkeypatch.setattr(q, "logger", FailingLogger())
        with pytest.raises(RuntimeError, match="^Header corruption detected"):
            h.unpack_header(header_bytes(1, 0, 7, 5, checksum=0))
        assert h.pack_header() == (header_bytes(1, 0x90, 8, 4) if meddle else before)

    def test_wrong_length_changes_nothing(self):
        h = FastSlabHeaderOps(3, 8)
        h.py_allocate_object_at(0)
        before = h.pack_header()
        for n in (0, 15, 17):
            with pytest.raises(ValueError, match=f"got {n}$"):
                h.unpack_header(bytes(n))
        assert h.pack_header() == before

    @pytest.mark.thread_unsafe  # replaces sys.modules["struct"]
    @pytest.mark.parametrize("values, error", [((1, 2, 3, 4), ValueError), ((1, 2, 3, 4, -1), OverflowError),
                                               ((256, 0, 0, 0, 0), OverflowError), (None, None)])
    def test_header_decoded_by_another_struct(self, monkeypatch, values, error):
        """The header is decoded by the struct module found at the call, imported when it is not."""
        h = FastSlabHeaderOps(3, 64)
        h.py_allocate_object_at(5)
        before = h.pack_header()
        if values is None:
            monkeypatch.delitem(sys.modules, "struct")
            assert h.unpack_header(before) is None
        else:
            monkeypatch.setitem(sys.modules, "struct", types.SimpleNamespace(unpack=lambda fmt, data: values))
            with pytest.raises(error):
                h.unpack_header(before)
        monkeypatch.undo()
        assert h.pack_header() == before

    @pytest.mark.thread_unsafe
    def test_refcounts(self):
        h, data, op = FastSlabHeaderOps(1, 8), header_bytes(1, 0, 7, 5), "".join(["cle", "ar"])
        short = data[:-1]
        rcs = [sys.getrefcount(x) for x in (data, short, op)]
        for _ in range(20):
            h.unpack_header(data)
            with pytest.raises(ValueError):
                h.unpack_header(short)
            fast_bitmap_operations(3, 1, op)
            with pytest.raises(ValueError):
                fast_bitmap_operations(3, 1, op + "x")
        assert [sys.getrefcount(x) for x in (data, short, op)] == rcs
        packed, alone = h.pack_header(), bytes(bytearray(16))  # alone: a local with no other owner
        assert sys.getrefcount(packed) == sys.getrefcount(alone)


class TestBitmapOperations:
    @pytest.mark.parametrize("bitmap, index, op, expected", [
        (0b1010, 1, "is_set", True), (0b1010, 0, "is_set", False), (0b1010, 0, "set", 11), (0b1010, 3, "clear", 2),
        (0b1000, 0, "find_first", 3), (0, 0, "find_first", -1), (2**63, 99, "find_first", 63), (1, 70, "set", 1),
        (1, 64, "clear", 1), (2**64 - 1, 64, "is_set", False), (2**64 - 1, -1, "is_set", False), (1, -1, "set", 1),
        (2**64 - 1, -64, "clear", 2**64 - 1), (0, 63, "set", 2**63)])
    def test_table(self, bitmap, index, op, expected):
        result = fast_bitmap_operations(bitmap, index, op)
        assert result == expected and type(result) is type(expected)


class TestErrors:
    @pytest.mark.parametrize("call, exc, message", [
        (lambda: fast_align_size(13, 6), ValueError, "Alignment must be a power of 2"),
        (lambda: fast_get_bucket_size(8, 0), ValueError, "Bucket size step must be positive"),
        (lambda: fast_get_bucket_size(I32_MIN, -1), ValueError, "Bucket size step must be positive"),
        (lambda: FastBucketAllocator(-8), ValueError, "Bucket size step must be positive"),
        (lambda: fast_bitmap_operations(1, 0, "SET"), ValueError, "Unknown operation: SET"),
        (lambda: fast_bitmap_operations(1, 0, None), ValueError, "Unknown operation: None"),
        (lambda: H(1, 8).unpack_header(None), TypeError, "object of type 'NoneType' has no len()"),
        (lambda: H(1, 8).unpack_header(b"x"), ValueError, "Slab header data must be 16 bytes long, got 1"),
    ])
    def test_messages(self, call, exc, message):
        with pytest.raises(exc) as info:
            call()
        assert str(info.value) == message
