"""Random calls into the quill20 array wrapper and the generator: never a crash, every refusal clear.

pytest runs a few subprocess batches; `make fuzz` raises the budget through VIREO20_FUZZ_BATCHES,
VIREO20_FUZZ_CASES and VIREO20_FUZZ_SEED. One batch alone, printing each call before making it:

    PYTHONPATH=build/python /usr/bin/python3 tests/python/test_quill20_wrap_fuzz.py SEED CASES --trace

Operations are rows of OPERATIONS; a method of the generator joins the fuzz as one more name in
GENERATOR_METHODS.
"""
import concurrent.futures
import gc
import math
import os
import random
import reprlib
import subprocess
import sys
import warnings

import numpy

import quill20  # first: registers the converters the generator module uses
import _vireo20upscaling

BATCHES = int(os.environ.get("VIREO20_FUZZ_BATCHES", "2"))
CASES = int(os.environ.get("VIREO20_FUZZ_CASES", "1500"))
SEED = int(os.environ.get("VIREO20_FUZZ_SEED", "20261206"))

ALLOWED = (RuntimeError, TypeError, ValueError, OverflowError, IndexError)
STORAGES = ["vector", "vtk"]

# Sizes that can never be allocated (2^44 elements and more, beyond the address space for any element
# size), beside small ones. Valid sizes in between are left out on purpose: 2^31 doubles would be
# a real 16 GB allocation, not a refusal.
SMALL_SIZES = list(range(0, 12)) + [17, 64, 1000]
HUGE_SIZES = [2**44, 2**50, 2**61, 2**62, 2**63 - 1, 2**63, 2**64, 2**100]
BAD_SIZES = [-1, -2**31, -2**63 - 1, -2**100]
INTEGERS = [0, 1, 2, 3, 7, -1, -2, -7, 127, 128, 255, 256, -129, 2**15, 2**31 - 1, 2**31, -2**31, -2**31 - 1,
            2**32, 2**53 + 1, 2**63 - 1, 2**63, -2**63, -2**63 - 1, 2**64 - 1, 2**64, 2**100, -2**100]
FLOATS = [0.0, -0.0, 0.5, -2.5, 1e300, -1e300, 1e-320, math.nan, math.inf, -math.inf]
NUMPY_INTEGER_TYPES = [numpy.int8, numpy.int16, numpy.int32, numpy.int64,
                       numpy.uint8, numpy.uint16, numpy.uint32, numpy.uint64]
DTYPES = [None, "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", "float32", "float64",
          "bool", numpy.int32, numpy.float64, "float16", "complex64", "object", "U3", "bogus", 5, object()]


class World:
    """What the calls act on: live arrays, NumPy views of them, generators."""

    LIMIT = 8

    def __init__(self, rng):
        self.rng, self.arrays, self.views, self.generators = rng, [], [], []

    def keep(self, pool, item):
        pool.append(item)
        if len(pool) > self.LIMIT:
            del pool[self.rng.randrange(len(pool))]

    def array(self):
        return self.rng.choice(self.arrays) if self.arrays else None

    def integral(self, value):
        """value, or now and then the same value as a NumPy integer of a random type that holds it."""
        kinds = [kind for kind in NUMPY_INTEGER_TYPES if numpy.iinfo(kind).min <= value <= numpy.iinfo(kind).max]
        return self.rng.choice(kinds)(value) if kinds and self.rng.random() < 0.3 else value

    # --- argument generators: mostly plausible, often not
    def odd(self):
        """Something of the wrong kind."""
        rng = self.rng
        return rng.choice([
            None, "3", b"x", [1, 2], (1, 2, 3), {}, object(), slice(0, 1), 1j, True,
            numpy.float32(rng.choice(FLOATS)), numpy.array([1, 2]), numpy.array(5), numpy.zeros((0,)),
            self.array(), rng.choice(self.views) if self.views else None,
        ])

    def integer(self):
        return self.integral(self.rng.choice(INTEGERS))

    def value(self):
        rng, pick = self.rng, self.rng.random()
        if pick < 0.45:
            return self.integer()
        if pick < 0.75:
            return rng.choice(FLOATS)
        if pick < 0.85:
            return tuple(rng.choice(INTEGERS + FLOATS) for _ in range(rng.randrange(0, 11)))
        return self.odd()

    def size(self):
        rng, pick = self.rng, self.rng.random()
        if pick < 0.85:
            return self.integral(rng.choice(SMALL_SIZES if pick < 0.7 else HUGE_SIZES + BAD_SIZES))
        return rng.choice([self.odd(), rng.choice(FLOATS), 3.0])

    def index(self, array):
        rng = self.rng
        if rng.random() < 0.8:
            return self.integral(rng.randrange(-len(array) - 2, len(array) + 2))
        return rng.choice([self.integer(), self.odd(), rng.choice(FLOATS)])

    def data(self):
        rng, n, pick = self.rng, self.rng.choice(SMALL_SIZES[:8]), self.rng.random()
        if pick < 0.4:
            shape = rng.choice([(n,), (n, rng.randrange(0, 12)), (n, 2, 2), ()])
            return (numpy.arange(math.prod(shape)).reshape(shape) * rng.choice([1, -1, 0.5, 2**40])).astype(
                rng.choice(["int8", "int64", "uint16", "float32", "float64", "bool", "complex128"]))
        if pick < 0.8:
            return [rng.choice(INTEGERS + FLOATS) for _ in range(n)]
        return rng.choice([None, "abc", [[1, 2], [3]], [None], {1: 2}, self.array(), object(), 3.5])

    def int32_array(self):
        """Mostly an int32 array (what the generator takes), sometimes anything else."""
        rng = self.rng
        if rng.random() < 0.75:
            values = [rng.choice([-2, -1, -1, 0, 1, 2, 3, 4, 7, 2**31 - 1]) for _ in range(rng.randrange(0, 9))]
            result = quill20.array(values, dtype="int32", storage=rng.choice(STORAGES))
            self.keep(self.arrays, result)
            return result
        return rng.choice([None, self.array(), self.odd()])

    def snapshot(self):
        """Everything a refused call must leave as it was."""
        return ([(id(a), len(a), contents(a)) for a in self.arrays],
                [(g.GetCurrentTimestepIndex(), g.GetNumberOfEnabledParticles(),
                  bytes(numpy.array(g.GetElementParticlesIndexes().to_numpy()))) for g in self.generators])


def contents(array):
    """The bytes of an array, or the refusal of an array whose VTK array was resized through VTK."""
    try:
        return bytes(numpy.array(array.to_numpy()))
    except RuntimeError as error:
        return str(error).split(":")[0]


# What code holding the VTK array may do to it behind quill20's back.
VTK_CHANGES = ["Initialize()", "SetNumberOfTuples(3)", "Resize(100)", "Squeeze()", "SetNumberOfComponents(2)",
               "Modified()", "SetValue(0, 1)"]


# --- operations: (name, weight, function of the world returning a description and a call)
def op_construct(world):
    rng = world.rng
    cls = quill20.array_class(rng.choice(list(quill20.SCALAR_TYPES)), rng.choice([1, 1, 2, 3, 4, 9]))  # every type has these
    size, storage, keywords = world.size(), rng.choice(STORAGES + ["vector", "disk", None, 5]), rng.random() < 0.3
    return (cls.__name__, size, storage), lambda: world.keep(
        world.arrays, cls(size=size, storage=storage) if keywords else cls(size, storage))


def op_from_data(world):
    rng = world.rng
    data, dtype, storage = world.data(), rng.choice(DTYPES), rng.choice(STORAGES + [None, "disk"])
    return (data, dtype, storage), lambda: world.keep(world.arrays, quill20.array(data, dtype=dtype, storage=storage))


def with_array(action):
    def op(world):
        array = world.array()
        if array is None:
            return ("no array",), lambda: None
        description, call = action(world, array)
        return (type(array).__name__, len(array)) + description, call
    return op


def array_call(arguments, call):
    """An operation on a live array: arguments drawn from the world and the array, then the call with them."""
    def action(world, array):
        drawn = arguments(world, array)
        return drawn, lambda: call(array, *drawn)
    return with_array(action)


def op_view(world, array):
    def call():
        view = array.to_numpy() if world.rng.random() < 0.7 else numpy.asarray(array)
        assert view.shape[0] == len(array), (view.shape, len(array))
        if view.size:
            view.reshape(-1)[-1] = view.reshape(-1)[0]
        world.keep(world.views, view)
    return (), call


def modify_arguments(world, array):
    rng = world.rng
    name = rng.choice(["scale", "negate", "make_unique", "set_fixed_shape", "equals", "implementation_use_count",
                       "number_of_dimensions"])
    argument = {"scale": lambda: rng.choice(FLOATS + [2, numpy.float32(0.5), None, "2"]),
                "equals": lambda: rng.choice([world.array(), None, 3])}.get(name)
    return (name,) if argument is None else (name, argument())


def op_release(world):
    rng = world.rng
    pools = [pool for pool in (world.arrays, world.views, world.generators) if pool]
    if not pools:
        return ("nothing",), lambda: None
    pool = rng.choice(pools)

    def call():
        del pool[rng.randrange(len(pool))]
        if rng.random() < 0.3:
            gc.collect()
    return ("release",), call


def op_generator(world):
    parents = world.int32_array()
    return (parents,), lambda: world.keep(world.generators, _vireo20upscaling.MPUpscalingGenerator(parents))


def with_generator(action):
    def op(world):
        if not world.generators:
            return op_generator(world)
        return action(world, world.rng.choice(world.generators))
    return op


@with_generator
def op_set_enabled(world, generator):
    rng = world.rng
    timestep = world.integer() if rng.random() < 0.9 else world.odd()
    enabled = world.int32_array()
    # Large valid counts are left out: 2^31 - 1 trailing entries would be a real 8 GB result.
    trailing = rng.choice([0, 0, 1, 3, 50, -1, -2**31, 2**31, 2**32, 2**64, world.odd()])
    return (timestep, enabled, trailing), lambda: generator.SetParticlesEnabledIndexes(timestep, enabled, trailing)


GENERATOR_METHODS = ["GetCurrentTimestepIndex", "GetElementParticlesIndexes", "GetNumberOfEnabledParticles", "Sum",
                     "TakeAny", "WeightedAverage", "CoordsWeightedAverage", "GetParticleIds", "GetContactParentIDFrom",
                     "GetContactParentIDTo", "CreateParticlesTopology", "CreateParticlesGeometry"]


@with_generator
def op_upscale(world, generator):
    """The queries, reductions, contacts, topology and geometry, with whatever the world holds."""
    rng = world.rng
    name = rng.choice(GENERATOR_METHODS)

    def numbers(components, dtype, rows=None):
        if rng.random() < 0.15:
            return rng.choice([None, world.array(), world.odd()])
        rows = rng.choice([0, 1, 2, 3, 5, 8, 13, 60]) if rows is None else rows
        values = numpy.array([rng.choice([0.0, 1.0, -1.0, 2.5, 7.0, 1e300, float("nan"), float("inf")])
                              for _ in range(rows * components)]).reshape((rows, components) if components > 1 else rows)
        return values.astype(dtype) if dtype != "float64" else values

    def grid(dtype=None):
        values = numbers(1, "int32" if dtype == "int32" else "float64")
        if not isinstance(values, numpy.ndarray):
            return values
        return quill20.grid_function(values, dtype=dtype or rng.choice(["float64", "int32", "float32", "uint8"]))

    def array(components=1):
        # Masses must match the parent table (at most 8 particles here) to get past the first check.
        values = numbers(components, "float64", None if components > 1 else rng.randrange(0, 9))
        return quill20.array(values, storage=rng.choice(STORAGES)) if isinstance(values, numpy.ndarray) else values

    def geometry_arguments():
        topology = generator.CreateParticlesTopology() if rng.random() < 0.8 else None
        points = quill20.ParticlePointsArray(array(3), rng.choice([0, 1, 3])) if rng.random() < 0.8 else None
        return topology, points, array()

    arguments = {"Sum": lambda: (grid("float64"),), "TakeAny": lambda: (grid(),),
                 "WeightedAverage": lambda: (grid("float64"), array()), "CoordsWeightedAverage": lambda: (array(3), array()),
                 "GetContactParentIDFrom": lambda: (grid("int32"),),
                 "GetContactParentIDTo": lambda: (grid("int32"), grid("int32")),
                 "CreateParticlesGeometry": geometry_arguments}.get(name, lambda: ())

    def call():
        result = getattr(generator, name)(*arguments())
        if name == "CreateParticlesGeometry":
            result.points()
        elif result is not None and hasattr(result, "to_numpy"):
            result.to_numpy()
            if name == "GetElementParticlesIndexes":
                world.keep(world.arrays, result)
    return (name,), call


OPERATIONS = [  # (name, weight, operation)
    ("construct", 6, op_construct), ("from_data", 6, op_from_data),
    ("get", 8, array_call(lambda w, a: (w.index(a),), lambda a, index: a[index])),
    ("set", 8, array_call(lambda w, a: (w.index(a), w.value()), lambda a, index, value: a.__setitem__(index, value))),
    ("resize", 5, array_call(lambda w, a: (w.size(),), lambda a, size: a.resize(size))),
    ("view", 5, with_array(op_view)),
    ("convert", 2, array_call(lambda w, a: (w.rng.choice(DTYPES[:12]),),
                              lambda a, dtype: numpy.asarray(a, dtype=dtype).sum())),
    ("read_all", 2, array_call(lambda w, a: (),
                               lambda a: (repr(a), list(a) if len(a) < 100 else None, a.storage, a.scalar_type))),
    ("modify", 4, array_call(modify_arguments, lambda a, name, *arguments: getattr(a, name)(*arguments))),
    ("release", 5, op_release), ("generator", 2, op_generator), ("set_enabled", 5, op_set_enabled),
    ("upscale", 12, op_upscale),
    ("change_vtk", 1, array_call(lambda w, a: (w.rng.choice(VTK_CHANGES),),
                                 lambda a, change: eval("a.to_vtk()." + change))),  # noqa: S307 (fixed texts)
]


def check_refusal(error):
    """A refusal is one of the allowed exception types with a message that explains it."""
    text = str(error)
    if isinstance(error, MemoryError):
        assert text.startswith("cannot allocate "), f"MemoryError without what was allocated: {text!r}"
    else:
        assert isinstance(error, ALLOWED), f"{type(error).__name__} is not an allowed refusal: {text}"
    assert text.strip(), f"{type(error).__name__} without a message"
    assert "bad numeric conversion" not in text, text


def run_batch(seed, cases, trace=False):
    """Runs `cases` random calls; answers the number of refusals, raises AssertionError on a bad one."""
    warnings.simplefilter("ignore")  # NumPy's deprecation notes on odd arguments are not under test
    rng, short, refused = random.Random(seed), reprlib.Repr(), 0
    world, weights = World(rng), [weight for _, weight, _ in OPERATIONS]
    short.maxlist = short.maxtuple = short.maxother = 6
    for case in range(cases):
        name, _, operation = rng.choices(OPERATIONS, weights)[0]
        description, call = operation(world)
        text = f"case {case}: {name}{short.repr(description)}"
        if trace:
            print(text, flush=True)
        before = world.snapshot()
        try:
            call()
        except AssertionError:
            raise
        except BaseException as error:  # noqa: B902  (anything else is judged by check_refusal)
            refused += 1
            try:
                check_refusal(error)
                assert world.snapshot() == before, "a refused call changed an array or a generator"
            except AssertionError as failure:
                raise AssertionError(f"seed {seed}, {text}: {failure}") from error
    return refused


def test_random_calls_are_answered_or_refused_clearly():
    command = [sys.executable, "-X", "faulthandler", os.path.abspath(__file__)]
    seeds = [SEED + batch for batch in range(BATCHES)]
    workers = min(len(seeds), os.cpu_count() or 1)
    with concurrent.futures.ThreadPoolExecutor(workers) as pool:
        results = list(pool.map(
            lambda seed: subprocess.run(command + [str(seed), str(CASES)], capture_output=True, text=True), seeds))
    failures = [f"batch of seed {seed} ended with {result.returncode}:\n{result.stdout[-3000:]}{result.stderr[-3000:]}"
                f"\nreplay: {' '.join(command)} {seed} {CASES} --trace"
                for seed, result in zip(seeds, results) if result.returncode != 0]
    assert not failures, "\n\n".join(failures)


if __name__ == "__main__":
    refusals = run_batch(int(sys.argv[1]), int(sys.argv[2]), trace="--trace" in sys.argv)
    print(f"seed {sys.argv[1]}: {sys.argv[2]} calls, {refusals} refused clearly")
