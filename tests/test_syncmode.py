"""External synchronisation options through Device.syncmode."""
import pytest

import zorvsim
from zorvsdk import errors

SELECTED = "/devices/0/supplies/syncSelected"


def test_option_ids_in_device_order(opened):
    assert opened.syncmode.getOptionIds() == ["internal", "master", "slave"]


def test_option_ids_follow_the_model(opened):
    zorvsim.set("/devices/0/supplies/syncOptions", ["b", "a"])
    assert opened.syncmode.getOptionIds() == ["b", "a"]
    zorvsim.set("/devices/0/supplies/syncOptions", [])
    assert opened.syncmode.getOptionIds() == []


@pytest.mark.parametrize("option", ["master", "slave", "internal"])
def test_selection_reaches_the_device(opened, option):
    opened.syncmode.selectOption(option)
    assert zorvsim.get(SELECTED) == option


def test_selection_by_keyword(opened):
    opened.syncmode.selectOption(optionId="slave")
    assert zorvsim.get(SELECTED) == "slave"


@pytest.mark.parametrize("bad", [5, None, b"master"])
def test_non_text_is_refused_without_an_sdk_call(opened, bad):
    with zorvsim.Journal() as journal:
        with pytest.raises(AttributeError):
            opened.syncmode.selectOption(bad)
    assert journal.calls("zorv_syncmode_option_select") == []
    assert zorvsim.get(SELECTED) == "internal"


def test_unknown_option_is_an_invalid_argument_naming_it(opened):
    with pytest.raises(errors.ZorvSdkInvalidArgumentError, match="'bogus'"):
        opened.syncmode.selectOption("bogus")
    assert zorvsim.get(SELECTED) == "internal"


def test_failure_while_listing_drops_the_list(opened):
    zorvsim.fail("zorv_syncmode_option_id", -3, b"broken", skip=2)
    with pytest.raises(errors.ZorvSdkInvalidArgumentError, match="^broken$"):
        opened.syncmode.getOptionIds()


@pytest.mark.parametrize("call", [lambda s: s.getOptionIds(), lambda s: s.selectOption("master")])
def test_closed_device_raises_invalid_operation(device, call):
    with pytest.raises(errors.ZorvSdkInvalidOperationError):
        call(device.syncmode)


def test_select_requires_exactly_one_argument(opened):
    with pytest.raises(TypeError, match=r"^selectOption\(\) takes exactly 1 positional argument \(0 given\)$"):
        opened.syncmode.selectOption()
