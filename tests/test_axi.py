"""AXI register access through Device.axi."""
import pytest

import zorvsim
from zorvsdk import errors

SCRATCH = 0x10
ID_REGISTER = 0x0


@pytest.mark.parametrize("value", [0, 1, 0x12345678, 4294967295])
def test_scratch_reads_back_what_was_written(opened, value):
    opened.axi.write(SCRATCH, value)
    assert opened.axi.read(SCRATCH) == value


def test_identifier_register_has_its_model_value(opened):
    assert opened.axi.read(ID_REGISTER) == zorvsim.get("/devices/0/supplies/registers/0/value")


def test_read_only_register_refuses_a_write(opened):
    before = opened.axi.read(ID_REGISTER)
    with pytest.raises(errors.ZorvSdkInvalidArgumentError, match="read-only"):
        opened.axi.write(ID_REGISTER, 1)
    assert opened.axi.read(ID_REGISTER) == before


@pytest.mark.parametrize("value, message", [(-1, "can't convert negative value to uint32_t"),
                                            (2**32, "value too large to convert to uint32_t")])
@pytest.mark.parametrize("call", [lambda a, v: a.read(v), lambda a, v: a.write(v, 0),
                                  lambda a, v: a.write(SCRATCH, v)])
def test_out_of_range_integers_are_refused_before_the_sdk(opened, value, message, call):
    with zorvsim.Journal() as journal:
        with pytest.raises(OverflowError, match=f"^{message}$"):
            call(opened.axi, value)
    assert journal.calls("zorv_axi_read") == [] and journal.calls("zorv_axi_write") == []


def test_float_address_and_data_truncate(opened):
    opened.axi.write(16.7, 3.9)
    assert opened.axi.read(SCRATCH) == 3


def test_write_sends_address_first(opened):
    with zorvsim.Journal() as journal:
        opened.axi.write(SCRATCH, 7)
    assert journal.calls("zorv_axi_write")[0]["args"][-2:] == [SCRATCH, 7]


@pytest.mark.parametrize("call", [lambda a, addr: a.read(addr), lambda a, addr: a.write(addr, 1)])
@pytest.mark.parametrize("address, text", [(0x11, "unaligned AXI address 0x00000011"),
                                           (0x1000, "no AXI register is mapped at address 0x00001000")])
def test_unaligned_and_unmapped_raise_axi_exception(opened, call, address, text):
    with pytest.raises(errors.ZorvSdkAxiException, match=f"^{text}$"):
        call(opened.axi, address)


@pytest.mark.parametrize("status", [101, 104])
def test_other_positive_statuses_raise_nothing(opened, status):
    zorvsim.fail("zorv_axi_read", status, b"")
    assert opened.axi.read(SCRATCH) == 0
    zorvsim.fail("zorv_axi_write", status, b"")
    assert opened.axi.write(SCRATCH, 5) is None


def test_closed_device_raises_invalid_operation(device):
    with pytest.raises(errors.ZorvSdkInvalidOperationError):
        device.axi.read(SCRATCH)


@pytest.mark.parametrize("register", [{"address": 2, "value": 0}, {"address": -4, "value": 0},
                                      {"address": 8, "value": 2**32}, {"address": 8, "colour": 1}])
def test_model_refuses_malformed_registers(register):
    with pytest.raises(zorvsim.SimError):
        zorvsim.set("/devices/0/supplies/registers", [register])
