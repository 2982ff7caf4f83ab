"""strict_restore_qr_matrix forwards to halvern._restore, looked up on every call."""

import sys
import types

import pytest

from halvern import _zeltra


@pytest.fixture
def stand_in(monkeypatch):
    module = types.ModuleType("halvern._restore")
    monkeypatch.setitem(sys.modules, "halvern._restore", module)
    return module


def test_returns_the_routines_very_object(stand_in):
    sentinel = object()
    seen = []

    def routine(*args):
        seen.append(args)
        return sentinel

    stand_in.strict_restore_qr_matrix = routine
    assert _zeltra.strict_restore_qr_matrix(b"abc", 21, None) is sentinel
    assert seen == [(b"abc", 21, None)]


def test_no_arguments_are_forwarded_as_empty(stand_in):
    stand_in.strict_restore_qr_matrix = lambda *args: args
    assert _zeltra.strict_restore_qr_matrix() == ()


def test_exceptions_pass_through_unchanged(stand_in):
    error = LookupError("from the routine")

    def routine(*args):
        raise error

    stand_in.strict_restore_qr_matrix = routine
    with pytest.raises(LookupError) as info:
        _zeltra.strict_restore_qr_matrix(1)
    assert info.value is error


def test_routine_replaced_at_run_time_is_picked_up(stand_in):
    stand_in.strict_restore_qr_matrix = lambda *a: "first"
    assert _zeltra.strict_restore_qr_matrix() == "first"
    stand_in.strict_restore_qr_matrix = lambda *a: "second"
    assert _zeltra.strict_restore_qr_matrix() == "second"


def test_missing_attribute_is_attribute_error(stand_in):
    with pytest.raises(AttributeError):
        _zeltra.strict_restore_qr_matrix(b"", 21)


def test_missing_module_is_module_not_found(monkeypatch):
    # A None entry in sys.modules makes the import fail as if the module were absent.
    monkeypatch.setitem(sys.modules, "halvern._restore", None)
    with pytest.raises(ModuleNotFoundError):
        _zeltra.strict_restore_qr_matrix(b"", 21)


def test_keyword_arguments_are_refused(stand_in):
    stand_in.strict_restore_qr_matrix = lambda *a, **k: k
    with pytest.raises(TypeError):
        _zeltra.strict_restore_qr_matrix(matrix=b"")


def test_reference_counts_stable(stand_in):
    payload = object()
    stand_in.strict_restore_qr_matrix = lambda *a: a[0]
    before = sys.getrefcount(payload)
    for _ in range(1000):
        assert _zeltra.strict_restore_qr_matrix(payload) is payload
    assert sys.getrefcount(payload) == before
