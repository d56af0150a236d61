"""Flash memories through Device.flashmem: layout snapshots, reading and programming."""
import array
import copy
import ctypes
import pickle

import numpy as np
import pytest

import zorvsim
from zorvsdk import errors
from zorvsdk.flashmem import NonVolatileMemory, Region, Sector

FLASH = "/devices/0/memory/flash"
OUT_OF_BOUNDS = r"^Out of bounds on buffer access \(axis 0\)$"
# Two regions of 4 and 2 sectors: 4 KiB, then 64 KiB.
TWO_REGIONS = {"id": "img", "partNumber": "ZN-TEST", "regions": [{"sectorSize": 4096, "sectors": 4},
                                                               {"sectorSize": 65536, "sectors": 2}]}


@pytest.fixture
def img(opened):
    zorvsim.set(FLASH, [TWO_REGIONS])
    return opened.flashmem.selectMemory("img")


def calls(journal, prefix="zorv_flash_"):
    return [(e["fn"], e["args"]) for e in journal.entries if e["fn"].startswith(prefix)]


# ---- layout ----

def test_default_memories(opened):
    assert opened.flashmem.getIds() == ["fpga", "calibration"]
    fpga = opened.flashmem.selectMemory("fpga")
    assert (fpga.id, fpga.partNumber) == ("fpga", "ZN25F128B")
    assert [(r.sectorSize, len(r.sectors)) for r in fpga.regions] == [(4096, 8), (32768, 1), (65536, 255)]
    assert fpga.regions[-1].sectors[-1].endingAddress == 16 * 2**20 - 1


def test_no_memories_is_one_count_call(opened):
    zorvsim.set(FLASH, [])
    with zorvsim.Journal() as journal:
        assert opened.flashmem.getIds() == []
    assert journal.names() == ["zorv_flash_count"]


def test_select_memory_call_order_over_two_regions(opened):
    zorvsim.set(FLASH, [TWO_REGIONS])
    with zorvsim.Journal() as journal:
        opened.flashmem.selectMemory("img")
    ranges = lambda sectors: [("zorv_flash_sector_address_range", ["img", s]) for s in sectors]
    expected = ([("zorv_flash_part_nr", ["img"]), ("zorv_flash_regions", ["img"]),
                 ("zorv_flash_sector_size", ["img", 0]), ("zorv_flash_sector_count", ["img", 0])]
                + ranges([0, 1, 2, 3])
                + [("zorv_flash_sector_count", ["img", 0]),
                   ("zorv_flash_sector_size", ["img", 1]), ("zorv_flash_sector_count", ["img", 1])]
                + ranges([4, 5]) + [("zorv_flash_sector_count", ["img", 1])])
    assert calls(journal) == expected
    assert all(e["gil"] is False for e in journal.entries)


def test_snapshot_holds_the_layout(img):
    assert type(img) is NonVolatileMemory
    assert (img.id, img.partNumber) == ("img", "ZN-TEST")
    assert [type(r) for r in img.regions] == [Region, Region]
    assert [r.sectorSize for r in img.regions] == [4096, 65536]
    bounds = [(s.startingAddress, s.endingAddress) for r in img.regions for s in r.sectors]
    assert bounds == [(0, 4095), (4096, 8191), (8192, 12287), (12288, 16383),
                      (16384, 81919), (81920, 147455)]


def test_snapshot_is_not_refreshed_and_lists_are_its_own(opened, img):
    assert img.regions is img.regions and img.regions[0].sectors is img.regions[0].sectors
    zorvsim.set(FLASH + "/0/regions", [{"sectorSize": 512, "sectors": 1}])
    assert len(img.regions) == 2
    assert [r.sectorSize for r in opened.flashmem.selectMemory("img").regions] == [512]
    img.regions.clear()
    assert img.regions == []


@pytest.mark.parametrize("obj, attr", [(lambda m: m, "id"), (lambda m: m, "regions"), (lambda m: m.regions[0], "sectors"),
                                       (lambda m: m.regions[0].sectors[0], "startingAddress")])
def test_properties_are_read_only(img, obj, attr):
    with pytest.raises(AttributeError):
        setattr(obj(img), attr, None)


def test_memory_without_regions_takes_two_calls(opened):
    zorvsim.set(FLASH, [{"id": "blank", "partNumber": "P0", "regions": []}])
    with zorvsim.Journal() as journal:
        memory = opened.flashmem.selectMemory("blank")
    assert memory.regions == []
    assert journal.names() == ["zorv_flash_part_nr", "zorv_flash_regions"]


def test_rejected_identifier_fails_at_the_part_number(opened):
    with zorvsim.Journal() as journal:
        with pytest.raises(errors.ZorvSdkInvalidArgumentError, match="no flash memory with the identifier 'nope'"):
            opened.flashmem.selectMemory("nope")
    assert journal.names() == ["zorv_flash_part_nr", "zorv_ctx_get_last_error"]


class Text(str):
    pass


@pytest.mark.parametrize("flash_id, exc", [(b"fpga", AttributeError), (7, AttributeError), ("fpgä", UnicodeEncodeError)])
def test_identifier_refused_before_the_sdk(opened, flash_id, exc):
    with zorvsim.Journal() as journal:
        with pytest.raises(exc):
            opened.flashmem.selectMemory(flash_id)
    assert journal.entries == []


def test_str_subclass_passes_the_sdk_but_not_the_snapshot(opened):
    with pytest.raises(TypeError, match="^Expected str, got Text$"):
        opened.flashmem.selectMemory(Text("calibration"))


def test_addresses_from_two_to_the_31_cannot_be_held(opened):
    zorvsim.set(FLASH, [{"id": "big", "partNumber": "P", "regions": [{"sectorSize": 2**30, "sectors": 3}]}])
    fm = opened.flashmem
    assert fm._Flashmem__getSectorAddressRange("big", 1) == (2**30, 2**31 - 1)
    assert fm._Flashmem__getSectorAddressRange(flashmemId="big", sectorIdx=2) == (2**31, 3 * 2**30 - 1)
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        fm.selectMemory("big")


def test_forced_address_range_is_passed_through_unchanged(opened):
    zorvsim.force("zorv_flash_sector_address_range", [0, 65535])
    sector = opened.flashmem.selectMemory("calibration").regions[0].sectors[0]
    assert (sector.startingAddress, sector.endingAddress) == (0, 65535)


@pytest.mark.parametrize("fn", ["zorv_flash_id", "zorv_flash_part_nr"])
def test_texts_from_the_sdk_are_ascii(opened, fn):
    zorvsim.force(fn, ["fpg\u00e9".encode()])
    with pytest.raises(UnicodeDecodeError):
        opened.flashmem.getIds() if fn == "zorv_flash_id" else opened.flashmem.selectMemory("fpga")


def test_private_steps_convert_their_indices(opened):
    fm = opened.flashmem
    assert fm._Flashmem__getId(1.9) == "calibration"
    assert fm._Flashmem__getSectorCount("calibration", regionIdx=1) == 15
    with pytest.raises(OverflowError, match="^value too large to convert to int$"):
        fm._Flashmem__getSectorSize("calibration", 2**31)
    with pytest.raises(errors.ZorvSdkInvalidArgumentError, match="region index 2"):
        fm._Flashmem__getSectorSize("calibration", 2)


# ---- constructors ----

def test_constructors_store_their_arguments():
    regions = [object()]
    memory = NonVolatileMemory(None, "m", None, regions)
    assert (memory.id, memory.partNumber, memory.regions) == ("m", None, regions) and memory.regions is regions
    region = Region(sectors=None, sectorSize=1.9)
    assert (region.sectorSize, region.sectors) == (1, None)
    sector = Sector(-5, 2**31 - 1)
    assert (sector.startingAddress, sector.endingAddress) == (-5, 2**31 - 1)


@pytest.mark.parametrize("build, exc, message", [
    (lambda: NonVolatileMemory(1, b"x", None, None), TypeError, "^Cannot convert int to zorvsdk.context._Context$"),
    (lambda: NonVolatileMemory(None, b"x", 1, None), TypeError, "^Expected str, got bytes$"),
    (lambda: NonVolatileMemory(None, "x", Text("p"), None), TypeError, "^Expected str, got Text$"),
    (lambda: NonVolatileMemory(None, "x", "p", ()), TypeError, "^Expected list, got tuple$"),
    (lambda: NonVolatileMemory(None, "x", "p"), TypeError, r"^__cinit__\(\) takes exactly 4 positional arguments \(3 given\)$"),
    (lambda: Region(2**31, []), OverflowError, "^value too large to convert to int$"),
    (lambda: Region("4096", []), TypeError, "^an integer is required$"),
    (lambda: Region(4096, (1,)), TypeError, "^Expected list, got tuple$"),
    (lambda: Sector(0, 2**31), OverflowError, "^value too large to convert to int$"),
    (lambda: Sector(None, 2**40), TypeError, "^an integer is required$"),
    (lambda: Sector(0), TypeError, r"^__cinit__\(\) takes exactly 2 positional arguments \(1 given\)$"),
])
def test_constructor_checks(build, exc, message):
    with pytest.raises(exc, match=message):
        build()


@pytest.mark.parametrize("make", [lambda d: d.flashmem, lambda d: d.flashmem.selectMemory("fpga"),
                                  lambda d: Region(1, []), lambda d: Sector(0, 1)])
@pytest.mark.parametrize("how", [pickle.dumps, copy.copy])
def test_pickling_and_copying_are_refused(opened, make, how):
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        how(make(opened))


# ---- reading ----

def test_read_returns_the_bytes_asked_for(opened):
    fpga = opened.flashmem.selectMemory("fpga")
    with zorvsim.Journal() as journal:
        data = fpga.read(0, 16)
    assert type(data) is bytes and data == b"ZQ4 bitstream 2."
    assert calls(journal) == [("zorv_flash_read", ["fpga", 0, 16])]


@pytest.mark.parametrize("address, length, exc, message", [
    (0, 0, IndexError, OUT_OF_BOUNDS),
    (-1, 4, OverflowError, "^can't convert negative value to uint32_t$"),
    (2**32, 4, OverflowError, "^value too large to convert to uint32_t$"),
    ("0", 4, TypeError, "^an integer is required$"),
    (0, -1, ValueError, None),
    (0, 2.0, TypeError, None),
])
def test_read_arguments_refused_before_the_sdk(img, address, length, exc, message):
    with zorvsim.Journal() as journal:
        with pytest.raises(exc, match=message):
            img.read(address, length)
    assert journal.entries == []


@pytest.mark.parametrize("address, length", [(147456 - 4, 5), (2**32 - 1, 1), (147456, 1)])
def test_reads_outside_the_memory_give_the_range(img, address, length):
    with pytest.raises(errors.ZorvSdkInvalidArgumentError,
                       match=r"outside the memory \(the memory spans 0x00000000 to 0x00023FFF\)"):
        img.read(address, length)


@pytest.mark.parametrize("reported, expected", [(5, b"abcde"), (0, b""), (8, b"abcdefgh"), (100, b"abcdefgh")])
def test_read_returns_only_the_bytes_the_sdk_delivered(img, reported, expected):
    img.program(0, bytearray(b"abcdefgh"))
    zorvsim.force("zorv_flash_read", [reported])
    assert img.read(0, 8) == expected


def test_read_failing_without_an_exception_hands_out_no_stale_memory(img):
    # A status outside the error table raises nothing and leaves the buffer unwritten; the buffer
    # comes from a block just freed with other contents, which must not leave the call.
    stale = np.full(8, 0xAB, dtype=np.uint8)
    del stale
    zorvsim.fail("zorv_flash_read", -6, b"")
    assert img.read(0, 8) == bytes(8)


def _c_function(name, *argtypes):
    return ctypes.CFUNCTYPE(ctypes.c_int, *argtypes)((name, zorvsim.library()))


@pytest.mark.parametrize("fn", ["zorv_flash_read", "zorv_flash_program"])
@pytest.mark.parametrize("address, length", [(16, 2**64 - 8), (147455, 2**64 - 147454), (147456, 2**32)])
def test_lengths_that_would_wrap_the_range_are_refused(fn, address, length):
    # Driven through the C interface: the package never passes such lengths, but the library must
    # not take address + length modulo 2**64 and write far past the caller's buffer.
    P = ctypes.c_void_p
    create = _c_function("zorv_ctx_create", ctypes.POINTER(P))
    destroy = _c_function("zorv_ctx_destroy", P)
    open_device = _c_function("zorv_dev_open", P, ctypes.c_char_p)
    last_error = _c_function("zorv_ctx_get_last_error", P, ctypes.POINTER(ctypes.c_char_p))
    call = _c_function(fn, P, ctypes.c_char_p, ctypes.c_uint32, P, ctypes.POINTER(ctypes.c_size_t))
    zorvsim.set(FLASH, [TWO_REGIONS])
    ctx = P()
    assert create(ctypes.byref(ctx)) == 0
    try:
        assert open_device(ctx, b"zorvsim:0") == 0
        buf = ctypes.create_string_buffer(b"\xff" * 16, 16)
        n = ctypes.c_size_t(length)
        assert call(ctx, b"img", address, ctypes.cast(buf, P), ctypes.byref(n)) == -3
        text = ctypes.c_char_p()
        last_error(ctx, ctypes.byref(text))
        assert b"is outside the memory (the memory spans 0x00000000 to 0x00023FFF)" in text.value
        assert buf.raw == b"\xff" * 16
    finally:
        _c_function("zorv_dev_close", P)(ctx)
        destroy(ctx)


# ---- programming ----

@pytest.mark.parametrize("data, expected", [
    (bytearray(b"\x01\x02\x03\x04"), b"\x01\x02\x03\x04"),
    (array.array("B", [9, 8, 7]), b"\x09\x08\x07"),
    (np.array([5, 6], dtype=np.uint8), b"\x05\x06"),
    (np.array([True, False, True]), b"\x01\x00\x01"),
    (memoryview(bytearray(b"mv")), b"mv"),
    (ctypes.create_string_buffer(b"cc", 2), b"cc"),
])
def test_accepted_buffers_read_back(img, data, expected):
    with zorvsim.Journal() as journal:
        assert img.program(4090, data) is None
    assert calls(journal)[0] == ("zorv_flash_program", ["img", 4090, len(expected)])
    assert img.read(4090, len(expected)) == expected


@pytest.mark.parametrize("data, exc, message", [
    (b"\x01\x02\x03\x04", BufferError, None),
    (np.arange(8, dtype=np.uint8)[::2], BufferError, None),
    (np.zeros(4, dtype=np.int8), ValueError, r"^Buffer dtype mismatch, expected 'uint8_t' but got 'signed char'$"),
    (array.array("H", [1]), ValueError, r"^Buffer dtype mismatch, expected 'uint8_t' but got 'unsigned short'$"),
    (np.zeros((2, 2), dtype=np.uint8), ValueError, r"^Buffer has wrong number of dimensions \(expected 1, got 2\)$"),
    (bytearray(), IndexError, OUT_OF_BOUNDS),
    ("text", TypeError, None),
    ([1, 2], TypeError, None),
])
def test_refused_buffers_make_no_sdk_call(img, data, exc, message):
    with zorvsim.Journal() as journal:
        with pytest.raises(exc, match=message):
            img.program(0, data)
    assert journal.entries == []


def test_float_address_truncates(img):
    img.program(3.9, bytearray(b"\x00"))
    assert img.read(0, 5) == b"\xff\xff\xff\x00\xff"


def test_program_across_sectors_survives_a_reopen_and_a_model_change(opened, img):
    img.program(16382, bytearray(b"span"))
    opened.close()
    opened.open("zorvsim:0")
    zorvsim.set("/devices/0/serialNumber", "S-2")
    assert opened.flashmem.selectMemory("img").read(16380, 8) == b"\xff\xffspan\xff\xff"
    runs = zorvsim.get(FLASH + "/0/contents")
    assert runs[0]["address"] == 16382 and b"".join(bytes.fromhex(r["hex"]) for r in runs) == b"span"


def test_bits_can_only_be_cleared_until_the_sector_is_erased(img):
    img.program(100, bytearray(b"\xf0"))
    img.program(100, bytearray(b"\x30"))  # clears more bits: allowed
    with pytest.raises(errors.ZorvSdkInvalidArgumentError, match="would set bits that are 0; erase sector 0 first"):
        img.program(99, bytearray(b"\x00\x31"))
    assert img.read(99, 2) == b"\xff\x30"  # a refused program writes nothing
    zorvsim.flash_erase("img", 0)
    img.program(99, bytearray(b"\x00\x31"))
    assert img.read(99, 2) == b"\x00\x31"


def test_erase_control_refuses_unknown_places(img):
    with pytest.raises(zorvsim.SimError, match="sector 6 is out of range"):
        zorvsim.flash_erase("img", 6)
    with pytest.raises(zorvsim.SimError, match="'nope'"):
        zorvsim.flash_erase("nope")


def test_program_outside_the_memory_gives_the_range(img):
    with pytest.raises(errors.ZorvSdkInvalidArgumentError, match="0x00023FFF"):
        img.program(147455, bytearray(b"ab"))
    assert img.read(147455, 1) == b"\xff"


def test_file_backed_memory(opened, tmp_path):
    path = tmp_path / "image.bin"
    path.write_bytes(b"\x00\x11\x22")
    zorvsim.set(FLASH, [dict(TWO_REGIONS, file=str(path))])
    memory = opened.flashmem.selectMemory("img")
    assert memory.read(0, 4) == b"\x00\x11\x22\xff"
    memory.program(8, bytearray(b"\x42"))
    assert path.read_bytes() == b"\x00\x11\x22" + b"\xff" * 5 + b"\x42"
    path.write_bytes(b"\xff" * 147457)
    with pytest.raises(zorvsim.SimError, match="more than the 147456 of the memory"):
        zorvsim.set(FLASH, [dict(TWO_REGIONS, file=str(path))])


# ---- objects without a device ----

def test_hand_made_memories(device):
    with pytest.raises(AttributeError, match="^'NoneType' object has no attribute 'encode'$"):
        NonVolatileMemory(None, None, None, None).read(0, 1)
    with pytest.raises(errors.ZorvSdkInvalidOperationError):
        NonVolatileMemory(None, "fpga", None, None).program(0, bytearray(b"x"))
    with pytest.raises(errors.ZorvSdkInvalidOperationError, match="no device is open"):
        device.flashmem.getIds()


def test_snapshot_fails_after_close(opened, img):
    opened.close()
    with pytest.raises(errors.ZorvSdkInvalidOperationError, match="no device is open"):
        img.read(0, 1)


@pytest.mark.parametrize("memory, problem", [
    ({"id": "m", "regions": [{"sectorSize": 0, "sectors": 1}]}, "expected a sector size from 1"),
    ({"id": "m", "regions": [{"sectorSize": 2**31, "sectors": 1}]}, "expected a sector size from 1"),
    ({"id": "m", "regions": [{"sectorSize": 2**31 - 1, "sectors": 3}]}, "larger than the 32-bit address space"),
    ({"id": "m", "regions": [{"sectorSize": 16, "sectors": 1}], "contents": [{"address": 10, "hex": "00" * 7}]},
     "outside the memory"),
    ({"id": "m", "regions": [{"sectorSize": 16, "sectors": 1}], "contents": [{"address": 0, "hex": "0"}]},
     "hexadecimal digits"),
    ({"id": "m", "file": "x.bin", "contents": []}, "takes its contents from the file"),
])
def test_model_refuses_malformed_memories(memory, problem):
    before = zorvsim.model()
    with pytest.raises(zorvsim.SimError, match=problem):
        zorvsim.set(FLASH, [memory])
    assert zorvsim.model() == before


def test_model_refuses_two_memories_with_one_identifier():
    with pytest.raises(zorvsim.SimError, match="same identifier"):
        zorvsim.set(FLASH, [TWO_REGIONS, TWO_REGIONS])
