import struct
import threading

from harness import optional_import
from tarvish import _bench_floor as floor
from tarvish.memory.quillet import FastBucketAllocator, FastSlabHeaderOps, fast_align_size


def _crc_table():
    table = []
    for i in range(256):
        x = i
        for _ in range(8):
            x = (x >> 1) ^ (0xA001 if x & 1 else 0)
        table.append(x)
    return table


CRC_TABLE = _crc_table()


def py_align_size(size, alignment):
    if alignment < 1 or alignment & (alignment - 1):
        raise ValueError("Alignment must be a power of 2")
    return (size + alignment - 1) & -alignment


class PyBuckets:
    """The bucket allocator in pure Python: a dict of lists under a threading.Lock."""

    def __init__(self, step=8, small=256, medium=4096):
        self.step, self.small, self.medium = step, small, medium
        self.buckets = {k: [] for k in [*range(step, small + 1, step), *range(step + small, medium + 1, step)]}
        self.lock = threading.Lock()

    def bucket_size(self, size):
        if size <= self.medium:
            return (size + self.step - 1) // self.step * self.step
        return -1

    def add_to_bucket(self, offset, size):
        b = self.bucket_size(size)
        if b < 1 or b != size:
            return False
        with self.lock:
            lst = self.buckets.get(b)
            if lst is None:
                return False
            lst.append(offset)
            return True

    def remove_from_bucket(self, size):
        b = self.bucket_size(size)
        if b <= 0:
            return None
        with self.lock:
            lst = self.buckets.get(b)
            return lst.pop() if lst else None

    def find_best_fit_bucket(self, size, alignment):
        b = self.bucket_size(size)
        if b <= 0:
            return None
        with self.lock:
            lst = self.buckets.get(b)
            if lst:
                o = lst.pop()
                if ((o + alignment - 1) & -alignment) + size <= o + b:
                    return o
                lst.append(o)
            for k in sorted(self.buckets):
                lst = self.buckets[k]
                if k > b and lst:
                    o = lst.pop()
                    if ((o + alignment - 1) & -alignment) + size <= o + k:
                        return o
                    lst.append(o)
            return None


class PyHeader:
    """The slab header in pure Python: struct.pack plus a table-driven CRC."""

    def __init__(self, size_class, objects):
        self.size_class, self.flags, self.generation, self.checksum = size_class & 0xFF, 0, 0, 0
        self.bitmap = (1 << objects) - 1 if objects < 64 else 2**64 - 1

    def crc(self):
        x = 0xFFFF
        for byte in struct.pack("<BBL", self.size_class, self.flags, self.generation):
            x = (x >> 8) ^ CRC_TABLE[(x ^ byte) & 0xFF]
        return x

    def pack_header(self):
        self.checksum = self.crc()
        return struct.pack("<BBLHQ", self.size_class, self.flags, self.generation, self.checksum, self.bitmap)

    def unpack_header(self, data):
        if len(data) != 16:
            raise ValueError("bad length")
        self.size_class, self.flags, self.generation, stored, self.bitmap = struct.unpack("<BBLHQ", data)
        if stored != self.crc():
            self.flags |= 0x80

    def allocate_object_at(self, i):
        if i < 64:
            self.bitmap &= ~(1 << i)
        self.flags |= 0x10
        self.generation = (self.generation + 1) & 0xFFFFFFFF


crcmod_predefined = optional_import("crcmod.predefined")


class CrcmodHeader(PyHeader):
    """What a user would write with crcmod: its CRC-16/MODBUS beside struct.pack."""

    crc16 = staticmethod(crcmod_predefined.mkPredefinedCrcFun("modbus")) if crcmod_predefined else None

    def crc(self):
        return self.crc16(struct.pack("<BBL", self.size_class, self.flags, self.generation))


def _pair(first, second, a, b):
    def run():
        first(*a)
        second(*b)
    return run


def rows(h):
    h.bench("fast_align_size", fast_align_size, (13, 8), floor=(floor.int_call, (13, 8)),
            baseline=(py_align_size, (13, 8)))

    fa, pa = FastBucketAllocator(), PyBuckets()
    h.bench("FastBucketAllocator.add_to_bucket+remove_from_bucket",
            _pair(fa.add_to_bucket, fa.remove_from_bucket, (1024, 512), (509,)),
            floor=(_pair(floor.call, floor.call, (1024, 512), (509,)), ()),
            baseline=(_pair(pa.add_to_bucket, pa.remove_from_bucket, (1024, 512), (509,)), ()))
    h.bench("FastBucketAllocator.add_to_bucket+find_best_fit_bucket (hit)",
            _pair(fa.add_to_bucket, fa.find_best_fit_bucket, (1024, 512), (509, 8)),
            floor=(_pair(floor.call, floor.call, (1024, 512), (509, 8)), ()),
            baseline=(_pair(pa.add_to_bucket, pa.find_best_fit_bucket, (1024, 512), (509, 8)), ()))

    # A miss: the exact bucket holds a misaligned block and every larger bucket is scanned.
    fm, pm = FastBucketAllocator(), PyBuckets()
    fm.add_to_bucket(4, 16)
    pm.add_to_bucket(4, 16)
    h.bench("FastBucketAllocator.find_best_fit_bucket (miss)", fm.find_best_fit_bucket, (16, 4096),
            floor=(floor.call, (16, 4096)), baseline=(pm.find_best_fit_bucket, (16, 4096)))

    fh, ph = FastSlabHeaderOps(3, 8), PyHeader(3, 8)
    ch = CrcmodHeader(3, 8) if crcmod_predefined else None
    data = fh.pack_header()
    assert ph.pack_header() == data and (ch is None or ch.pack_header() == data)
    h.bench("FastSlabHeaderOps.pack_header", fh.pack_header, floor=(floor.call, ()), baseline=(ph.pack_header, ()),
            peers={"crcmod": (ch.pack_header, ()) if ch else None})
    h.bench("FastSlabHeaderOps.unpack_header", fh.unpack_header, (data,), floor=(floor.call, (data,)),
            baseline=(ph.unpack_header, (data,)), peers={"crcmod": (ch.unpack_header, (data,)) if ch else None})
    h.bench("FastSlabHeaderOps.py_allocate_object_at", fh.py_allocate_object_at, (5,), floor=(floor.call, (5,)),
            baseline=(ph.allocate_object_at, (5,)))
