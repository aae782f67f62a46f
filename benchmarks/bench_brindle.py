import bisect
import collections

from harness import optional_import
from tarvish import _bench_floor as floor
from tarvish.memory.brindle import FastRedBlackTree
from tarvish.memory.plinth import Plinth


class BisectFreeList:
    """The same index in pure Python: a sorted list of sizes plus a dict of block lists."""

    def __init__(self):
        self.sizes = []
        self.blocks = {}

    @classmethod
    def of(cls, blocks):
        """The index of blocks of distinct sizes, in order of size."""
        index = cls()
        index.blocks = {b.size: [b] for b in blocks}
        index.sizes = list(index.blocks)
        return index

    def insert(self, size, block):
        chain = self.blocks.get(size)
        if chain is None:
            bisect.insort(self.sizes, size)
            self.blocks[size] = [block]
        else:
            chain.insert(1, block)
        return True

    def find_best_fit(self, size, alignment=1):
        i = bisect.bisect_left(self.sizes, size)
        return self.blocks[self.sizes[i]][0] if i < len(self.sizes) else None

    def _take(self, i, index):
        size = self.sizes[i]
        chain = self.blocks[size]
        block = chain.pop(index)
        if not chain:
            del self.sizes[i]
            del self.blocks[size]
        return size, block

    def remove_ge(self, size):
        i = bisect.bisect_left(self.sizes, size)
        return self._take(i, 0) if i < len(self.sizes) else (None, None)

    def delete(self, size, block):
        i = bisect.bisect_left(self.sizes, size)
        if i == len(self.sizes) or self.sizes[i] != size:
            return False
        chain = self.blocks[size]
        for j, b in enumerate(chain):
            if b == block:
                self._take(i, j)
                return True
        return False


sortedcontainers = optional_import("sortedcontainers")


class SortedFreeList:
    """What a user would write with sortedcontainers: (size, offset, block) in a SortedList."""

    def __init__(self, items=()):
        self.items = sortedcontainers.SortedList(items)

    @classmethod
    def of(cls, blocks):
        """The index of blocks of distinct sizes, in order of size."""
        return cls((b.size, b.offset, b) for b in blocks)

    def insert(self, size, block):
        self.items.add((size, block.offset, block))
        return True

    def find_best_fit(self, size, alignment=1):
        i = self.items.bisect_left((size,))
        return self.items[i][2] if i < len(self.items) else None

    def remove_ge(self, size):
        i = self.items.bisect_left((size,))
        if i == len(self.items):
            return None, None
        size, _, block = self.items.pop(i)
        return size, block

    def delete(self, size, block):
        try:
            self.items.remove((size, block.offset, block))
        except ValueError:
            return False
        return True


def rows(h):
    for n in (10**3, 10**5):
        label = f"n=1e{len(str(n)) - 1}"
        blocks = [Plinth(2 * i, 2 * i) for i in range(n)]  # even sizes present; odd sizes are new distinct keys
        tree = FastRedBlackTree()
        collections.deque(map(tree.insert, range(0, 2 * n, 2), blocks), maxlen=0)
        # The pure-Python indexes are built in bulk: the same state, without n inserts.
        base = BisectFreeList.of(blocks) if h.baselines else None
        sorted_list = SortedFreeList.of(blocks) if h.baselines and sortedcontainers else None
        mid, fresh = n, n + 1  # mid: an even (present) size near the middle; fresh: absent
        block = Plinth(0, fresh)

        def churn(index, size=fresh, block=block):
            index.insert(size, block)
            index.delete(size, block)

        def cycle(index, size=mid + 1):
            s, b = index.remove_ge(size)
            index.insert(s, b)

        def pair(fn, index, *args):
            return (fn, (index, *args)) if index is not None else None

        def method(index, name, *args):
            return (getattr(index, name), args) if index is not None else None

        h.bench(f"FastRedBlackTree.find_best_fit {label}", tree.find_best_fit, (mid + 1,),
                floor=(floor.call, (mid + 1,)), baseline=method(base, "find_best_fit", mid + 1),
                peers={"SortedList": method(sorted_list, "find_best_fit", mid + 1)})
        h.bench(f"FastRedBlackTree.insert+delete {label}", churn, (tree,), floor=(floor.call, (fresh, block)),
                baseline=pair(churn, base), peers={"SortedList": pair(churn, sorted_list)})
        h.bench(f"FastRedBlackTree.remove_ge+insert {label}", cycle, (tree,), floor=(floor.call, (mid + 1,)),
                baseline=pair(cycle, base), peers={"SortedList": pair(cycle, sorted_list)})
