"""The module surface: import, the exception class, the two types and the
rules every entry point shares."""

import importlib.metadata
import inspect
import operator
import os
import pydoc
import subprocess
import sys
import warnings

import jedi
import numpy as np
import pytest
from hypothesis import given, strategies as st

import navro

MODEL_TYPES = [
    (navro.StandardMultiserver, ()),
    (navro.StandardNetworkMultiserver, (2,)),
]


def test_exception_class_is_an_exception_with_dotted_name():
    assert issubclass(navro.error, Exception)
    assert navro.error.__module__ == "navro"
    assert navro.error.__name__ == "error"


@pytest.mark.parametrize(
    "cls, name",
    [
        (navro.StandardMultiserver, "navro.StandardMultiserver"),
        (navro.StandardNetworkMultiserver, "navro.StandardNetworkMultiserver"),
    ],
)
def test_type_names(cls, name):
    assert f"{cls.__module__}.{cls.__qualname__}" == name


def test_import_from_the_checkout_top_says_what_to_do():
    # There, Python finds the source folder before the installed package.
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    result = subprocess.run(
        [sys.executable, "-c", "import navro"], cwd=root, capture_output=True, text=True
    )
    assert result.returncode != 0
    assert "install the package" in result.stderr


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: navro.StandardMultiserver(1), "Expected 0 parameters"),
        (lambda: navro.StandardMultiserver(1, 2), "Expected 0 parameters"),
        (lambda: navro.StandardNetworkMultiserver(), "Expected 1 parameters"),
        (lambda: navro.StandardNetworkMultiserver(1, 2), "Expected 1 parameters"),
        (
            lambda: navro.StandardNetworkMultiserver(0),
            "Invalid number of nodes. The number of nodes must be strictly positive.",
        ),
        (
            lambda: navro.StandardNetworkMultiserver(-2),
            "Invalid number of nodes. The number of nodes must be strictly positive.",
        ),
        (lambda: navro.StandardNetworkMultiserver("3"), "Invalid value"),
        (lambda: navro.StandardNetworkMultiserver(3.0), "Invalid value"),
        (lambda: navro.StandardNetworkMultiserver(2**31), "Invalid value"),
    ],
)
def test_constructor_argument_messages(make, message):
    with pytest.raises(navro.error) as info:
        make()
    assert info.value.args == (message,)
    # A stale interpreter error behind a refusal would surface as a
    # SystemError in the next successful call.
    navro.StandardMultiserver().step()


# --- constructor keywords ------------------------------------------------------

Network = navro.StandardNetworkMultiserver
counts = st.integers(0, 4)
probabilities = st.floats(0.01, 1.0)
simple_pmfs = st.dictionaries(counts, probabilities, min_size=1, max_size=3)
durations = st.dictionaries(st.integers(1, 4), probabilities, min_size=1, max_size=3)
states = st.dictionaries(
    st.tuples(counts, st.integers(1, 4)), probabilities, min_size=1, max_size=4
)
times = st.integers(-(2**31), 2**31 - 1)


def some_of(draw, choices):
    """A dict of some of the named values, each drawn from its strategy."""
    return {name: draw(choices[name]) for name in draw(st.sets(st.sampled_from(sorted(choices))))}


def per_node(n, values):
    """n values, as a list, a tuple or a NumPy array."""
    return st.lists(values, min_size=n, max_size=n).flatmap(
        lambda v: st.sampled_from([v, tuple(v)] + ([] if isinstance(v[0], dict) else [np.array(v)]))
    )


@st.composite
def station_keywords(draw):
    """A station made with keywords, and the same station set up by its attributes."""
    keywords = some_of(
        draw,
        {
            "number_of_servers": counts | counts.map(np.int64),
            "number_of_arrivals_pmf": simple_pmfs,
            "service_duration_pmf": durations,
            "internal_state": states,
            "time": times,
        },
    )
    by_setters = navro.StandardMultiserver()
    for name, value in keywords.items():
        setattr(by_setters, name, value)
    return navro.StandardMultiserver(**keywords), by_setters


@st.composite
def network_keywords(draw):
    n = draw(st.integers(1, 3))
    keywords = some_of(
        draw,
        {
            "number_of_servers": per_node(n, counts),
            "number_of_external_arrivals_pmfs": per_node(n, simple_pmfs),
            "service_duration_pmfs": per_node(n, durations),
            "routing_probabilities": per_node(
                n, st.lists(st.sampled_from([0.0, 0.25, 0.5]), min_size=n, max_size=n)
            ),
            "internal_state": st.lists(states, min_size=1, max_size=4),
            "time": times,
        },
    )
    by_setters = Network(n)
    for node in range(n):
        for name, setter in [
            ("number_of_servers", by_setters.set_number_of_servers_at_node),
            (
                "number_of_external_arrivals_pmfs",
                by_setters.set_number_of_external_arrivals_at_node_pmf,
            ),
            ("service_duration_pmfs", by_setters.set_service_duration_at_node_pmf),
        ]:
            if name in keywords:
                setter(node, keywords[name][node])
        for destination in range(n):
            if "routing_probabilities" in keywords:
                p = keywords["routing_probabilities"][node][destination]
                by_setters.set_routing_probability(node, destination, p)
    for name in ("internal_state", "time"):
        if name in keywords:
            setattr(by_setters, name, keywords[name])
    return Network(n, **keywords), by_setters


@given(st.one_of(station_keywords(), network_keywords()))
def test_constructor_keywords_set_what_the_setters_set(made_and_set):
    made, by_setters = made_and_set
    # The pickled state holds every field, bit for bit.
    assert made.__reduce__()[2] == by_setters.__reduce__()[2]


class Endless:
    """A sequence without end, which must not be read to its end."""

    def __getitem__(self, i):
        return 1


NODES_BY_KEYWORD = (
    "StandardNetworkMultiserver() got some positional-only arguments passed as keyword "
    "arguments: 'number_of_nodes'"
)
REFUSED_KEYWORDS = [
    (
        lambda: navro.StandardMultiserver(servers=2),
        TypeError,
        "StandardMultiserver() got an unexpected keyword argument 'servers'",
    ),
    (
        lambda: Network(2, number_of_servers=[1, 1], whatever=1),
        TypeError,
        "StandardNetworkMultiserver() got an unexpected keyword argument 'whatever'",
    ),
    (lambda: Network(number_of_nodes=2), TypeError, NODES_BY_KEYWORD),
    (
        lambda: navro.StandardMultiserver(number_of_servers=2.0),
        TypeError,
        "'float' object cannot be interpreted as an integer",
    ),
    (lambda: navro.StandardMultiserver(time=2**31), navro.error, "Invalid value"),
    (
        lambda: navro.StandardMultiserver(service_duration_pmf={(1, 1): 1.0}),
        navro.error,
        "Invalid value",
    ),
    (lambda: navro.StandardMultiserver(internal_state={}), navro.error, "Empty dictionary"),
    (lambda: Network(2, number_of_servers=[1]), navro.error, "Invalid value"),
    (lambda: Network(2, number_of_servers=Endless()), navro.error, "Invalid value"),
    (lambda: Network(2, number_of_servers={0: 1, 1: 1}), navro.error, "Invalid value"),
    (lambda: Network(2, number_of_servers="12"), navro.error, "Invalid value"),
    (
        lambda: Network(2, number_of_servers=[1, -1]),
        navro.error,
        "Invalid number of servers. The number of servers must be nonnegative.",
    ),
    (lambda: Network(2, number_of_servers=[1, 2.0]), navro.error, "Invalid value"),
    (lambda: Network(2, routing_probabilities=[[0.5, 0.5], [0.5]]), navro.error, "Invalid value"),
    (
        lambda: Network(2, routing_probabilities=np.full((2, 2), 1.5)),
        navro.error,
        "Invalid probability. Probabilities must be between 0 and 1.",
    ),
    (
        lambda: Network(2, service_duration_pmfs=[{1: 1.0}, {0: 1.0}]),
        navro.error,
        "Invalid service duration pmf. Service durations must be strictly positive.",
    ),
    (lambda: Network(2, internal_state=[{1: 1.0}]), navro.error, "Invalid value"),
]


@pytest.mark.parametrize("make, error, message", REFUSED_KEYWORDS)
def test_constructor_keywords_are_refused_as_the_setters_refuse_them(make, error, message):
    with pytest.raises(error) as info:
        make()
    assert info.value.args == (message,)
    navro.StandardMultiserver().step()  # no interpreter error left behind


def test_keywords_given_to_init_again_are_all_taken_or_none():
    net = Network(2, number_of_servers=[1, 2], time=3)
    before = net.__reduce__()[2]
    with pytest.raises(navro.error):
        net.__init__(2, time=5, number_of_servers=[3, 4], routing_probabilities=[[0.5, 0], [0, 2]])
    assert net.__reduce__()[2] == before
    net.__init__(2, time=5, number_of_servers=[3, 4])
    assert (net.time, net.get_number_of_servers_at_node(1)) == (5, 4)


def test_true_counts_as_one_node():
    assert navro.StandardNetworkMultiserver(True).get_number_of_nodes() == 1


@pytest.mark.parametrize("cls, args", MODEL_TYPES)
def test_fresh_object_counts_its_fields_and_at_least_that_as_peak(cls, args):
    model = cls(*args)
    assert model.current_memory_use > 0
    assert model.peak_memory_use >= model.current_memory_use


@pytest.mark.parametrize("cls, args", MODEL_TYPES)
@pytest.mark.parametrize("counter", ["current_memory_use", "peak_memory_use"])
def test_memory_counters_are_read_only(cls, args, counter):
    model = cls(*args)
    with pytest.raises(AttributeError):
        setattr(model, counter, 0)


class Index:
    """An integer that is not an int, as a NumPy integer is; its __index__
    gives `value`, or raises it if it is an exception."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


OUT_OF_RANGE = [2**31, -(2**31) - 1, 2**63, np.int64(2**31), Index(2**40)]
NOT_INTEGERS = [3.0, "3", None, np.float64(3), np.bool_(True), [3]]


@pytest.mark.parametrize(
    "cls, args, name",
    [
        (navro.StandardMultiserver, (), "number_of_servers"),
        (navro.StandardMultiserver, (), "time"),
        (navro.StandardNetworkMultiserver, (2,), "time"),
    ],
)
def test_integer_attributes_behave_as_the_interpreters_int_attributes(cls, args, name):
    model = cls(*args)
    for value in (-5, 0, True, 2**31 - 1, -(2**31), np.int64(-3), np.uint8(200), Index(11), 7):
        setattr(model, name, value)
        assert getattr(model, name) == operator.index(value)
        assert type(getattr(model, name)) is int
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a refusal must not come as a warning
        refusals = [(v, navro.error, "Invalid value") for v in OUT_OF_RANGE]
        refusals += [(v, TypeError, None) for v in NOT_INTEGERS]
        refusals += [(Index(ZeroDivisionError("its own")), ZeroDivisionError, "its own")]
        for value, error, message in refusals:
            with pytest.raises(error) as info:
                setattr(model, name, value)
            assert message is None or info.value.args == (message,)
            assert getattr(model, name) == 7
    with pytest.raises(AttributeError, match=f"cannot delete attribute '{name}'"):
        delattr(model, name)
    assert getattr(model, name) == 7


@pytest.mark.parametrize(
    "value, refusal",
    [(np.int64(2), None), (np.uint16(3), None), (Index(1), None), (True, None)]
    + [(v, navro.error("Invalid value")) for v in OUT_OF_RANGE + NOT_INTEGERS]
    + [(Index(ZeroDivisionError("its own")), ZeroDivisionError("its own"))],
)
def test_int_arguments_take_any_integer_and_refuse_the_rest_with_invalid_value(value, refusal):
    net = navro.StandardNetworkMultiserver(4)
    if refusal is None:
        net.set_number_of_servers_at_node(value, value)
        assert net.get_number_of_servers_at_node(value) == operator.index(value)
        return
    with pytest.raises(type(refusal)) as info:
        net.set_number_of_servers_at_node(value, value)
    assert info.value.args == refusal.args
    assert [net.get_number_of_servers_at_node(node) for node in range(4)] == [0] * 4


@pytest.mark.parametrize("cls, args", MODEL_TYPES)
def test_types_can_be_subclassed(cls, args):
    class Sub(cls):  # type: ignore[misc, valid-type]
        # Its own keywords, which the model's constructor does not see.
        def __init__(self, *a, label):
            self.label = label

        def steps(self, n):
            for _ in range(n):
                self.step()

    model = Sub(*args, label="sub")
    model.steps(2)
    assert model.label == "sub"
    assert model.time == 2
    assert isinstance(model, cls)


@pytest.mark.parametrize("cls, args", MODEL_TYPES)
def test_methods_take_positional_arguments_only(cls, args):
    model = cls(*args)
    with pytest.raises(TypeError):
        model.step(n=1)


@pytest.mark.skipif(
    os.environ.get("NAVRO_SANITIZE") == "1", reason="the sanitizer holds freed memory"
)
@pytest.mark.parametrize("cls, args", MODEL_TYPES)
def test_deleted_objects_leave_nothing_behind(cls, args):
    def resident_kib():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024

    def churn():
        for _ in range(2000):
            model = cls(*args)
            model.step()
            del model

    churn()  # let the heap reach its working size first
    before = resident_kib()
    churn()
    churn()
    assert resident_kib() - before < 2048


# (method, parameter count, is a query) of each type's method table.
SINGLE_STATION_METHODS = [
    ("step", 0, False),
    ("apply_observation_range", 2, False),
    ("apply_observation_value", 1, False),
    ("mark", 0, False),
    ("restore", 0, False),
    ("get_number_of_entities_in_system_pmf", 0, True),
    ("reset_with_number_of_entities_in_system", 1, False),
    ("_record", 4, True),
]
NETWORK_METHODS = [
    ("step", 0, False),
    ("apply_observation_range_at_node", 3, False),
    ("apply_observation_value_at_node", 2, False),
    ("mark", 0, False),
    ("restore", 0, False),
    ("get_number_of_entities_at_node_pmf", 1, True),
    ("get_number_of_external_arrivals_at_node_pmf", 1, True),
    ("get_number_of_nodes", 0, True),
    ("get_number_of_servers_at_node", 1, True),
    ("get_routing_probability", 2, True),
    ("get_routing_probabilities", 0, True),
    ("get_service_duration_at_node_pmf", 1, True),
    ("set_number_of_external_arrivals_at_node_pmf", 2, False),
    ("set_number_of_servers_at_node", 2, False),
    ("set_routing_probability", 3, False),
    ("set_routing_probabilities", 3, False),
    ("set_service_duration_at_node_pmf", 2, False),
    ("reset_node_with_number_of_entities", 2, False),
    ("_record", 4, True),
]
WRONG_COUNT_CASES = [
    (navro.StandardMultiserver, (), name, n, query) for name, n, query in SINGLE_STATION_METHODS
] + [(navro.StandardNetworkMultiserver, (2,), name, n, query) for name, n, query in NETWORK_METHODS]


@pytest.mark.parametrize("cls, args, name, count, is_query", WRONG_COUNT_CASES)
def test_wrong_argument_count_message(cls, args, name, count, is_query):
    model = cls(*args)
    before = model.current_memory_use
    word = "parameter(s)" if is_query else "parameters"
    for wrong in (count + 1, max(count - 1, 0) if count else count + 2):
        with pytest.raises(navro.error) as info:
            getattr(model, name)(*([0] * wrong))
        assert info.value.args == (f"Expected {count} {word}",)
    assert model.current_memory_use == before


# --- help at the prompt --------------------------------------------------------


def test_version_is_the_installed_packages():
    assert navro.__version__ == importlib.metadata.version("navro")


@pytest.mark.parametrize("cls, args", MODEL_TYPES)
def test_every_method_and_attribute_has_help_and_every_method_a_signature(cls, args):
    assert cls.__doc__ and navro.__doc__
    for name, member in vars(cls).items():
        if name.startswith("__"):
            continue
        assert member.__doc__, name
        if callable(member):
            # Parameters as a call takes them: positional only, after self.
            parameters = list(inspect.signature(getattr(cls(*args), name)).parameters.values())
            assert all(p.kind is p.POSITIONAL_ONLY for p in parameters), name
            if not name.startswith("_"):  # help() leaves out the private ones
                assert f"{name}(self" in pydoc.render_doc(cls, renderer=pydoc.plaintext), name
    assert str(inspect.signature(cls)) == (
        "(number_of_nodes, /, **configuration)"
        if args
        else "(*, number_of_servers=0, number_of_arrivals_pmf={0: 1.0}, "
        "service_duration_pmf={1: 1.0}, internal_state={(0, 0): 1.0}, time=0, "
        "abandonment_probability=0.0, capacity=None)"
    )


@pytest.mark.parametrize("how", ["live object", "stubs"])
def test_completion_sees_the_parameters(how):
    if how == "live object":
        net = navro.StandardNetworkMultiserver(2)
        script = jedi.Interpreter("net.set_routing_probability(", [{"net": net}])
    else:
        script = jedi.Script(
            "import navro\nnavro.StandardNetworkMultiserver(2).set_routing_probability("
        )
    (signature,) = script.get_signatures()
    assert [p.name for p in signature.params] == ["source", "destination", "probability"]


def test_repr_shows_the_configuration_at_a_glance():
    station = navro.StandardMultiserver()
    station.number_of_servers = 2
    station.internal_state = {(1, 1): 0.25, (4, 2): 0.75}
    station.time = 14
    assert repr(station) == "<navro.StandardMultiserver servers=2 time=14 mean_present=3.25>"

    net = navro.StandardNetworkMultiserver(9)
    for node in range(9):
        net.set_number_of_servers_at_node(node, node)
    net.reset_node_with_number_of_entities(8, 5)
    assert repr(net) == (
        "<navro.StandardNetworkMultiserver nodes=9 time=0 servers=[0, 1, 2, ..., 6, 7, 8] "
        "mean_present=[0, 0, 0, ..., 0, 0, 5]>"
    )
    net.internal_state = [{(1, 1): 1.0}] * 2
    assert repr(net).endswith("mean_present=[1, 1]>")
