import bisect

from tarvish import _bench_floor as floor
from tarvish.memory.brindle import FastRedBlackTree
from tarvish.memory.plinth import Plinth


class BisectFreeList:
    """The same index in pure Python: a sorted list of sizes plus a dict of block lists."""

    def __init__(self):
        self.sizes = []
        self.blocks = {}

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


def rows(h):
    for n in (10**3, 10**5):
        label = f"n=1e{len(str(n)) - 1}"
        pair = []
        for cls in (FastRedBlackTree, BisectFreeList):
            index = cls()
            for i in range(n):  # even sizes present; odd sizes are new distinct keys
                index.insert(2 * i, Plinth(2 * i, 2 * i))
            pair.append(index)
        tree, base = pair
        mid, fresh = n, n + 1  # mid: an even (present) size near the middle; fresh: absent
        block = Plinth(0, fresh)

        def churn(index, size=fresh, block=block):
            index.insert(size, block)
            index.delete(size, block)

        def cycle(index, size=mid + 1):
            s, b = index.remove_ge(size)
            index.insert(s, b)

        h.bench(f"FastRedBlackTree.find_best_fit {label}", tree.find_best_fit, (mid + 1,),
                floor=(floor.call, (mid + 1,)), baseline=(base.find_best_fit, (mid + 1,)))
        h.bench(f"FastRedBlackTree.insert+delete {label}", churn, (tree,),
                floor=(floor.call, (fresh, block)), baseline=(churn, (base,)))
        h.bench(f"FastRedBlackTree.remove_ge+insert {label}", cycle, (tree,),
                floor=(floor.call, (mid + 1,)), baseline=(cycle, (base,)))
