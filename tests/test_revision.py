"""Hardware versions read through Device.revision."""
import pytest

import zorvsim
from zorvsdk import errors

DEFAULT_REVISIONS = {"firmware": "2.4.1", "board": "rev C", "chip-carrier": "1.2"}


def set_revisions(pairs):
    zorvsim.set("/devices/0/supplies/revisions", [{"id": i, "version": v} for i, v in pairs])


def test_get_returns_every_identifier_with_its_version(opened):
    result = opened.revision.get()
    assert result == DEFAULT_REVISIONS
    assert list(result) == list(DEFAULT_REVISIONS)


def test_get_keeps_index_order(opened):
    pairs = [("zeta", "9"), ("alpha", "1"), ("mid", "5.5")]
    set_revisions(pairs)
    assert list(opened.revision.get().items()) == pairs


def test_no_revisions_gives_an_empty_dict(opened):
    set_revisions([])
    assert opened.revision.get() == {}


def test_failure_at_an_index_drops_the_dict(opened):
    zorvsim.fail("zorv_revision_string", -3, b"x", skip=1)
    with pytest.raises(errors.ZorvSdkInvalidArgumentError, match="^x$"):
        opened.revision.get()


def test_get_goes_through_the_objects_own_methods(opened, monkeypatch):
    cls = type(opened.revision)
    monkeypatch.setattr(cls, "_Revision__getCount", lambda self: 1)
    monkeypatch.setattr(cls, "_Revision__getId", lambda self, i: "board")
    assert opened.revision.get() == {"board": "rev C"}


def test_identifier_with_a_nul_is_refused(opened, monkeypatch):
    monkeypatch.setattr(type(opened.revision), "_Revision__getCount", lambda self: 1)
    monkeypatch.setattr(type(opened.revision), "_Revision__getId", lambda self, i: "board\0tail")
    with zorvsim.Journal() as j, pytest.raises(ValueError, match="embedded null character"):
        opened.revision.get()
    assert j.calls("zorv_revision_string") == []


@pytest.mark.parametrize("index", [-1, 3, 2**31 - 1])
def test_index_out_of_range_is_an_invalid_argument(opened, index):
    with pytest.raises(errors.ZorvSdkInvalidArgumentError, match="out of range"):
        opened.revision._Revision__getId(index)


def test_unknown_identifier_is_an_invalid_argument(opened, monkeypatch):
    monkeypatch.setattr(type(opened.revision), "_Revision__getCount", lambda self: 1)
    monkeypatch.setattr(type(opened.revision), "_Revision__getId", lambda self, i: "nope")
    with pytest.raises(errors.ZorvSdkInvalidArgumentError, match="'nope'"):
        opened.revision.get()


@pytest.mark.parametrize("call", [lambda r: r.get(), lambda r: r._Revision__getCount(),
                                  lambda r: r._Revision__getId(0)])
def test_closed_device_raises_invalid_operation(device, call):
    with pytest.raises(errors.ZorvSdkInvalidOperationError):
        call(device.revision)


def test_revisions_survive_a_model_round_trip():
    doc = zorvsim.model()
    zorvsim.load_model(doc)
    assert zorvsim.model() == doc
    assert zorvsim.get("/devices/0/supplies/revisions")[0] == {"id": "firmware", "version": "2.4.1"}
