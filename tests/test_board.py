"""Board power through Device.board."""
import pytest

import zorvsim
from zorvsdk import errors

BOARDS = "/devices/0/supplies/boards"


def powered_flags():
    return [b["powered"] for b in zorvsim.get(BOARDS)]


def test_board_ids_in_device_order(opened):
    assert opened.board.getBoardIds() == ["board-0", "board-1"]


def test_board_ids_follow_the_model(opened):
    zorvsim.set(BOARDS, [{"id": "x", "powered": True}])
    assert opened.board.getBoardIds() == ["x"]


def test_failing_count_is_reported_by_operation_without_last_error(opened):
    zorvsim.fail("zorv_board_count", -2, b"x")
    with zorvsim.Journal() as journal:
        with pytest.raises(errors.ZorvSdkInvalidOperationError, match="getBoardCount"):
            opened.board.getBoardIds()
    assert journal.calls("zorv_ctx_get_last_error") == []
    assert journal.calls("zorv_board_id") == []


def test_failing_count_calls_throw_zorv_error_with_status_and_operation(opened, monkeypatch):
    import zorvsdk.board
    seen = []
    monkeypatch.setattr(zorvsdk.board.errors, "_throwZorvError", lambda *args: seen.append(args) or "dropped")
    zorvsim.fail("zorv_board_count", -4, b"x")
    count = opened.board._Board__getCount()
    assert seen == [(-4, "getBoardCount")]
    assert count == 0 and type(count) is int  # the preset count, when nothing was raised
    monkeypatch.delattr(zorvsdk.board.errors, "_throwZorvError")
    zorvsim.fail("zorv_board_count", -4, b"x")
    with pytest.raises(AttributeError, match="_throwZorvError"):
        opened.board.getBoardIds()


def test_unmapped_count_status_gives_no_boards(opened):
    zorvsim.fail("zorv_board_count", -6, b"x")
    with zorvsim.Journal() as journal:
        assert opened.board.getBoardIds() == []
    assert journal.names() == ["zorv_board_count"]


def test_boards_are_powered_after_open_by_default(opened):
    assert powered_flags() == [True, True]
    assert [opened.board.isPowered(b) for b in opened.board.getBoardIds()] == [True, True]


def test_boards_stay_off_when_not_powered_on_open(device):
    zorvsim.set("/devices/0/supplies/powerOnOpen", False)
    device.open("zorvsim:0")
    assert powered_flags() == [False, False]
    assert device.board.isPowered("board-0") is False


def test_power_off_then_on_reaches_the_device(opened):
    opened.board.powerOff("board-1")
    assert powered_flags() == [True, False]
    assert opened.board.isPowered("board-1") is False
    opened.board.powerOn(boardId="board-1")
    assert powered_flags() == [True, True]


def test_power_off_of_an_unpowered_board_is_an_invalid_operation(opened):
    opened.board.powerOff("board-0")
    with pytest.raises(errors.ZorvSdkInvalidOperationError, match="board-0"):
        opened.board.powerOff("board-0")


@pytest.mark.parametrize("forced, expected", [(2, True), (0, False), (-1, True)])
def test_is_powered_is_a_real_bool(opened, forced, expected):
    zorvsim.force("zorv_board_is_powered", [forced])
    assert opened.board.isPowered("board-0") is expected


@pytest.mark.parametrize("method", ["powerOn", "powerOff", "isPowered"])
def test_unknown_board_is_an_invalid_argument(opened, method):
    with pytest.raises(errors.ZorvSdkInvalidArgumentError, match="'nope'"):
        getattr(opened.board, method)("nope")


@pytest.mark.parametrize("method, fn", [("powerOn", "zorv_board_power_on"), ("powerOff", "zorv_board_power_off"),
                                        ("isPowered", "zorv_board_is_powered")])
def test_bytes_identifier_is_refused_without_an_sdk_call(opened, method, fn):
    with zorvsim.Journal() as journal:
        with pytest.raises(AttributeError):
            getattr(opened.board, method)(b"b0")
    assert journal.calls(fn) == []


@pytest.mark.parametrize("call", [lambda b: b.getBoardIds(), lambda b: b.powerOn("board-0"),
                                  lambda b: b.isPowered("board-0")])
def test_closed_device_raises_invalid_operation(device, call):
    with pytest.raises(errors.ZorvSdkInvalidOperationError):
        call(device.board)


ACQ_CALLS = [lambda d: d.acq.getChannelIds(), lambda d: d.acq.setDataCallback("ch0", print),
             lambda d: d.acq.begin("ch0")]


@pytest.mark.parametrize("call", ACQ_CALLS)
def test_acquisition_calls_fail_while_a_board_is_off(opened, call):
    opened.chip.selectMode("0:tpx3-dd-toa-tot")
    opened.acq.setDataCallback("ch0", print)
    opened.board.powerOff("board-0")
    with pytest.raises(errors.ZorvSdkInvalidOperationError, match="boards of the device are not powered"):
        call(opened)
    assert not zorvsim.acquiring("ch0")


def test_power_off_is_refused_while_acquiring(opened):
    opened.chip.selectMode("0:tpx3-dd-toa-tot")
    opened.acq.setDataCallback("ch0", print)
    zorvsim.script("ch0", [], hold=True)
    opened.acq.begin("ch0")
    try:
        with pytest.raises(errors.ZorvSdkInvalidOperationError, match="'board-1'.*acquisition is running"):
            opened.board.powerOff("board-1")
        assert powered_flags() == [True, True]
    finally:
        opened.acq.abort("ch0")
    opened.board.powerOff("board-1")
    assert powered_flags() == [True, False]
