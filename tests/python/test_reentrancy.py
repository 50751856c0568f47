"""Python code that runs in the middle of a call (a collection's callbacks and
finalisers, weakref callbacks, the methods of the values passed in) may call
the same model again. Every such call works as a call of its own, the outer
call finishes with what it had, and nothing that a call still under way walks
is freed. A call from another thread that runs meanwhile is refused, and
changes and frees nothing either."""

import contextlib
import functools
import gc
import itertools
import sys
import threading
import weakref

import pytest

import navro

BIG_STATE = {(k % 7, 1 + k // 7): 1.0 for k in range(700)}


def station():
    model = navro.StandardMultiserver()
    model.number_of_servers = 5
    model.service_duration_pmf = {k: 1.0 for k in range(1, 40)}
    model.number_of_arrivals_pmf = {0: 0.5, 1: 0.3, 2: 0.2}
    for _ in range(30):
        model.step()
    model.mark()
    return model


def network():
    model = navro.StandardNetworkMultiserver(3)
    for node in range(3):
        model.set_number_of_servers_at_node(node, 2)
        model.set_service_duration_at_node_pmf(node, {k: 1.0 for k in range(1, 15)})
    model.set_number_of_external_arrivals_at_node_pmf(0, {0: 0.5, 1: 0.3, 2: 0.2})
    model.set_routing_probability(0, 1, 0.8)
    model.set_routing_probability(1, 2, 0.5)
    for _ in range(15):
        model.step()
    model.mark()
    return model


def refuse_after_allocating(model):
    """A call that allocates, fails and so changes nothing but runs the
    collector: after it the model holds exactly what its fields reach."""
    with pytest.raises(navro.error):
        if isinstance(model, navro.StandardMultiserver):
            model.service_duration_pmf = {(1, 1): 1.0}
        else:
            model.internal_state = [{1: 1.0}]


MODELS = {
    "station": (
        station,
        # Calls that build Python objects while they walk the model's records.
        [
            lambda m: m.internal_state,
            lambda m: m.number_of_arrivals_pmf,
            lambda m: m.service_duration_pmf,
            lambda m: m.get_number_of_entities_in_system_pmf(),
            lambda m: m.__reduce__()[2],
        ],
        # Calls that replace what those walk and, alone, run the collector
        # (restore too would replace it, but runs no collector of its own).
        [
            lambda m: setattr(m, "internal_state", BIG_STATE),
            lambda m: m.step(),
            lambda m: setattr(m, "service_duration_pmf", {1: 0.5, 2: 0.5}),
            lambda m: m.reset_with_number_of_entities_in_system(3),
            lambda m: setattr(m, "number_of_arrivals_pmf", {1: 1.0}),
            lambda m: m.apply_observation_range(0, 4),
            lambda m: m.internal_state,
            repr,
            lambda m: m._record(2, 1, 0, 3),  # collects between its steps when alone
            lambda m: m.__setstate__(m.__reduce__()[2]),
            lambda m: setattr(m, "time", 5),
            lambda m: m.__init__(number_of_servers=4, internal_state=BIG_STATE),
        ],
    ),
    "network": (
        network,
        [
            lambda n: n.internal_state,
            lambda n: n.get_number_of_entities_at_node_pmf(1),
            lambda n: n.get_service_duration_at_node_pmf(0),
            lambda n: n.get_number_of_external_arrivals_at_node_pmf(0),
            lambda n: n.__reduce__()[2],
        ],
        [
            lambda n: setattr(n, "internal_state", [BIG_STATE] * 3),
            lambda n: n.step(),
            lambda n: n.set_service_duration_at_node_pmf(0, {1: 0.5, 2: 0.5}),
            lambda n: n.reset_node_with_number_of_entities(1, 3),
            lambda n: n.set_number_of_external_arrivals_at_node_pmf(0, {1: 1.0}),
            lambda n: n.get_number_of_entities_at_node_pmf(2),
            repr,
            lambda n: n._record(2, 1, 0, 3),
            lambda n: n.__setstate__(n.__reduce__()[2]),
            lambda n: setattr(n, "time", 5),
            lambda n: n.__init__(3, number_of_servers=[1, 2, 3], internal_state=[BIG_STATE] * 3),
        ],
    ),
}


# Triggers: each arms one way for Python code to run in the middle of the
# next call and run `meddle` there. A collection starts inside the call
# because the test lowers the threshold to one allocation and empties the
# interpreter's free lists, whose objects count towards no collection.


def drain_free_lists():
    return [{} for _ in range(100)], [[] for _ in range(100)], [(i, i) for i in range(2100)]


@contextlib.contextmanager
def gc_callback(meddle):
    """Runs `meddle` when a collection of the main thread starts."""

    def callback(phase, info):
        if phase == "start" and threading.current_thread() is threading.main_thread():
            meddle()

    gc.callbacks.append(callback)
    try:
        yield
    finally:
        gc.callbacks.remove(callback)


class Cycle:
    def __init__(self, meddle=None):
        self.meddle = meddle
        self.cycle = self


class Finalised(Cycle):
    def __del__(self):
        self.meddle()


@contextlib.contextmanager
def finaliser(meddle):
    for _ in range(3):
        Finalised(meddle)  # garbage that only a collection frees
    yield


@contextlib.contextmanager
def weakref_callback(meddle):
    refs = [weakref.ref(Cycle(), lambda ref: meddle()) for _ in range(3)]
    yield
    del refs


@contextlib.contextmanager
def second_thread(meddle):
    """The other thread calls the model, and is refused, while this one, in a
    collection's callback, waits for it."""
    go, done, stop = threading.Event(), threading.Event(), threading.Event()

    def worker():
        while go.wait() and not stop.is_set():
            go.clear()
            meddle()
            done.set()

    def hand_over():
        go.set()
        done.wait()
        done.clear()

    thread = threading.Thread(target=worker)
    thread.start()
    try:
        with gc_callback(hand_over):
            yield
    finally:
        stop.set()
        go.set()
        thread.join()


@pytest.mark.skipif(
    sys.version_info >= (3, 12),
    reason="from 3.12 on, collections run between bytecodes, never inside a call",
)
@pytest.mark.parametrize("trigger", [gc_callback, finaliser, weakref_callback, second_thread])
@pytest.mark.parametrize("kind", list(MODELS))
def test_calls_made_in_the_middle_of_a_call_free_nothing_in_use(kind, trigger):
    make, readers, meddlers = MODELS[kind]
    model = make()
    next_meddler = itertools.cycle(meddlers)
    meddled = []
    budget = []  # a few nested calls per read are enough, and keep it quick

    def meddle():
        if budget:
            budget.pop()
            with contextlib.suppress(navro.error):
                next(next_meddler)(model)
            meddled.append(True)

    threshold = gc.get_threshold()
    gc.collect()
    refuse_after_allocating(model)  # what mark() dropped waits for a collector
    try:
        for reader in readers * 3:
            gc.disable()
            with trigger(meddle):
                expected = reader(model)
                before = len(meddled)
                budget[:] = [True] * 3
                drained = drain_free_lists()
                gc.set_threshold(1, 10**6, 10**6)  # the young generation only
                gc.enable()
                got = reader(model)
                gc.disable()
                gc.set_threshold(*threshold)
                del drained
                budget.clear()
            assert len(meddled) > before, "nothing ran in the middle of the call"
            # The outer call returns what the model held when it began.
            assert got == expected
            # ... and the last call to end collected what the others left.
            used = model.current_memory_use
            refuse_after_allocating(model)
            assert model.current_memory_use == used
    finally:
        gc.set_threshold(*threshold)
        gc.enable()
    model.step()


# Subclasses of the accepted types whose methods would change the model if
# the conversions called them. The conversions read the values themselves,
# so the model ends as with plain values.
def hostile_types(meddle):
    def hostile(base, names):
        def method(name):
            def meddling(self, *args):
                meddle()
                return getattr(base, name)(self, *args)

            return meddling

        return type("Hostile" + base.__name__, (base,), {name: method(name) for name in names})

    return (
        hostile(int, ["__index__", "__int__", "__float__", "__hash__", "__eq__", "__lt__"]),
        hostile(float, ["__float__", "__int__", "__hash__", "__eq__", "__lt__", "__gt__"]),
        hostile(dict, ["__iter__", "__len__", "__getitem__", "keys", "items", "values", "get"]),
        hostile(tuple, ["__iter__", "__len__", "__getitem__", "__hash__", "__eq__"]),
        hostile(list, ["__iter__", "__len__", "__getitem__"]),
    )


def station_calls(I, F, D, T, L):
    return [
        ("number_of_servers", I(2)),
        ("number_of_arrivals_pmf", D({I(0): F(0.5), I(2): F(0.5)})),
        ("service_duration_pmf", D({I(1): F(0.25), I(3): I(1)})),
        ("internal_state", D({T((I(1), I(1))): F(0.5), T((I(3), I(2))): F(0.5)})),
        ("step",),
        ("apply_observation_range", I(0), I(4)),
        ("time", I(9)),
        ("reset_with_number_of_entities_in_system", I(1)),
        ("step",),
        ("__init__", {"number_of_servers": I(3), "service_duration_pmf": D({I(2): F(1.0)})}),
        ("step",),
    ]


def network_calls(I, F, D, T, L):
    return [
        ("set_number_of_servers_at_node", I(0), I(2)),
        ("set_routing_probability", I(0), I(1), F(0.5)),
        ("set_service_duration_at_node_pmf", I(1), D({I(2): F(0.5), I(3): F(0.5)})),
        ("set_number_of_external_arrivals_at_node_pmf", I(0), D({I(0): F(0.5), I(1): F(0.5)})),
        ("internal_state", L([D({T((I(1), I(1))): F(1.0)}), D({T((I(0), I(2))): I(1)})])),
        ("step",),
        ("apply_observation_value_at_node", I(1), I(0)),
        ("time", I(9)),
        ("step",),
        (
            "__init__",
            I(2),
            {
                "number_of_servers": L([I(1), I(2)]),
                "service_duration_pmfs": T((D({I(2): F(1.0)}), D({I(1): F(0.5), I(3): F(0.5)}))),
                "routing_probabilities": L([T((F(0.0), F(0.5))), L([F(0.25), I(0)])]),
            },
        ),
        ("step",),
    ]


def apply(model, name, *args):
    if name == "__init__":  # positional arguments, then the keywords
        model.__init__(*args[:-1], **args[-1])
    elif callable(getattr(type(model), name)):
        getattr(model, name)(*args)
    else:
        setattr(model, name, *args)


@pytest.mark.parametrize(
    "make, calls",
    [
        (navro.StandardMultiserver, station_calls),
        (lambda: navro.StandardNetworkMultiserver(2), network_calls),
    ],
)
def test_methods_of_subclassed_values_are_never_called(make, calls):
    model, twin = make(), make()
    armed, touched = [], []

    def meddle():
        if armed:
            touched.append(model.step())

    for call, plain in zip(calls(*hostile_types(meddle)), calls(int, float, dict, tuple, list)):
        armed.append(True)
        apply(model, *call)
        armed.clear()
        apply(twin, *plain)
    assert touched == []
    assert model.internal_state == twin.internal_state and model.time == twin.time


class Labelled(navro.StandardNetworkMultiserver):
    pass


def state_of(model):
    """The fields, the snapshot's too, bit for bit."""
    fields = model.__reduce__()[2]
    return fields[0] if isinstance(fields, tuple) else fields


@contextlib.contextmanager
def collecting(meddle):
    """Runs `meddle` at the first collection of the next call."""
    threshold = gc.get_threshold()
    gc.collect()
    gc.disable()
    try:
        with gc_callback(meddle):
            drained = drain_free_lists()
            gc.set_threshold(1, 10**6, 10**6)
            gc.enable()
            yield
            gc.disable()
            del drained
    finally:
        gc.set_threshold(*threshold)
        gc.enable()


@pytest.mark.parametrize(
    "trigger",
    [
        # A collection that starts inside the load and drops the state's items.
        pytest.param(
            "collection",
            marks=pytest.mark.skipif(
                sys.version_info >= (3, 12), reason="collections run between bytecodes"
            ),
        ),
        # The state in a dict and the records in a list of subclasses whose
        # methods drop the items, and an instance dict whose methods do.
        "methods",
    ],
)
def test_a_state_that_changes_while_it_loads_is_loaded_whole_or_refused(trigger):
    source, model = Labelled(2), Labelled(2)
    source.set_number_of_servers_at_node(0, 2)
    source.set_number_of_external_arrivals_at_node_pmf(0, {1: 0.5, 2: 0.5})
    source.step()
    source.label = "source"
    model.label = "model"
    budget = [True]
    held = []

    def meddle():
        if budget:
            budget.pop()
            fields, attributes = held[0]
            dict.clear(fields)  # the last references to the records and the rest
            dict.clear(attributes)
            gc.collect()

    _, _, dict_type, _, list_type = hostile_types(meddle)
    fields, attributes = source.__reduce__()[2]
    if trigger == "methods":
        fields = dict_type(fields, pmfs=list_type(fields["pmfs"]))
        attributes = dict_type(attributes)
    held.append((fields, attributes))
    before = state_of(model)
    expected = state_of(source)
    # Made beforehand, so that the call makes no object before the load does.
    load = functools.partial(model.__setstate__, (fields, attributes))
    try:
        with collecting(meddle) if trigger == "collection" else contextlib.nullcontext():
            load()
    except (ValueError, navro.error):
        assert state_of(model) == before and model.label == "model"
    else:
        assert state_of(model) == expected
    assert not budget, "nothing ran in the middle of the load"
    model.step()
