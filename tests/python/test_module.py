"""The module surface: import, the exception class, the two types and the
rules every entry point shares."""
import importlib.metadata
import inspect
import os
import pydoc
import subprocess
import sys
import warnings

import jedi
import pytest

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
        (lambda: navro.StandardNetworkMultiserver(0), "Invalid number of nodes. The number of nodes must be strictly positive."),
        (lambda: navro.StandardNetworkMultiserver(-2), "Invalid number of nodes. The number of nodes must be strictly positive."),
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


@pytest.mark.parametrize("cls, args", MODEL_TYPES)
def test_keyword_arguments_are_ignored(cls, args):
    cls(*args, whatever=1, number_of_nodes=99)


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
    """Offers an integer conversion without being an int; the module refuses
    such objects without calling it."""

    def __index__(self):
        raise AssertionError("called")


@pytest.mark.parametrize(
    "cls, args, name",
    [
        (navro.StandardMultiserver, (), "number_of_servers"),
        (navro.StandardMultiserver, (), "time"),
        (navro.StandardNetworkMultiserver, (2,), "time"),
    ],
)
def test_integer_attributes_take_32_bit_ints_and_refuse_the_rest(cls, args, name):
    model = cls(*args)
    for value in (-5, 0, True, 2**31 - 1, -(2**31), 7):
        setattr(model, name, value)
        assert getattr(model, name) == value
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # a refusal must not come as a warning
        for value in (2**31, -(2**31) - 1, 2**32 + 5, 2**63, 3.0, "3", None, Index()):
            with pytest.raises(navro.error) as info:
                setattr(model, name, value)
            assert info.value.args == ("Invalid value",)
            assert getattr(model, name) == 7
    with pytest.raises(AttributeError, match=f"cannot delete attribute '{name}'"):
        delattr(model, name)
    assert getattr(model, name) == 7


@pytest.mark.parametrize("cls, args", MODEL_TYPES)
def test_types_can_be_subclassed(cls, args):
    class Sub(cls):  # type: ignore[misc, valid-type]
        def __init__(self, *a):
            self.label = "sub"

        def steps(self, n):
            for _ in range(n):
                self.step()

    model = Sub(*args)
    model.steps(2)
    assert model.label == "sub"
    assert model.time == 2
    assert isinstance(model, cls)


@pytest.mark.parametrize("cls, args", MODEL_TYPES)
def test_methods_take_positional_arguments_only(cls, args):
    model = cls(*args)
    with pytest.raises(TypeError):
        model.step(n=1)


@pytest.mark.skipif(os.environ.get("NAVRO_SANITIZE") == "1", reason="the sanitizer holds freed memory")
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
    assert str(inspect.signature(cls)) == ("(number_of_nodes, /)" if args else "()")


@pytest.mark.parametrize("how", ["live object", "stubs"])
def test_completion_sees_the_parameters(how):
    if how == "live object":
        net = navro.StandardNetworkMultiserver(2)
        script = jedi.Interpreter("net.set_routing_probability(", [{"net": net}])
    else:
        script = jedi.Script("import navro\nnavro.StandardNetworkMultiserver(2).set_routing_probability(")
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
