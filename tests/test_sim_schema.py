"""The virtual device's model: every member the dump writes is one the load reads back."""

import copy

import pytest

import zorvsim


@pytest.fixture(autouse=True)
def _fresh():
    zorvsim.reset()
    zorvsim.clock_manual(True)  # ramps and cooling curves stand still between dump and load
    yield
    zorvsim.clock_manual(False)
    zorvsim.reset()


def _objects(value, path=""):
    """Every object of a document with its place, the document's own first."""
    if isinstance(value, dict):
        yield path, value
        for key, member in value.items():
            yield from _objects(member, f"{path}/{key}")
    elif isinstance(value, list):
        for i, item in enumerate(value):
            yield from _objects(item, f"{path}/{i}")


def _at(doc, place):
    """The value at a place of a document."""
    for key in filter(None, place.split("/")):
        doc = doc[int(key)] if isinstance(doc, list) else doc[key]
    return doc


def _places():
    zorvsim.reset()
    return [place for place, _ in _objects(zorvsim.model())]


def test_a_dumped_model_loads_back_to_itself():
    zorvsim.clock_advance(3.0)
    before = zorvsim.model()
    zorvsim.load_model(copy.deepcopy(before))
    assert zorvsim.model() == before


@pytest.mark.parametrize("place", _places())
def test_every_object_of_the_model_refuses_a_member_it_does_not_know(place):
    doc = zorvsim.model()
    _at(doc, place)["notAMember"] = 1
    with pytest.raises(zorvsim.SimError, match=f"model: {place or '/'}/?notAMember: unknown member"):
        zorvsim.load_model(doc)


@pytest.mark.parametrize("place", [p for p in _places() if p])
def test_every_object_of_the_model_refuses_another_type(place):
    doc = zorvsim.model()
    parent_place, _, key = place.rpartition("/")
    parent = _at(doc, parent_place)
    parent[int(key) if isinstance(parent, list) else key] = 7
    with pytest.raises(zorvsim.SimError, match=f"model: {place}: expected an object, found an integer"):
        zorvsim.load_model(doc)


@pytest.mark.parametrize("memory", [
    {"flash": [{"id": "img", "partNumber": "P", "regions": [{"sectorSize": 16, "sectors": 4}],
                "contents": [{"address": 3, "hex": "00ff00"}, {"address": 40, "hex": "12"}]}]},
    {"flash": [{"id": "img", "partNumber": "P", "regions": [{"sectorSize": 16, "sectors": 4}], "file": "{file}"}]},
    {"flash": [], "pixelMask": {"width": 4, "height": 2, "contents": [{"address": 1, "hex": "0101"}]}},
], ids=["contents", "file", "mask"])
def test_memories_dump_what_they_were_given(memory, tmp_path):
    backing = tmp_path / "img.bin"
    backing.write_bytes(b"\x00" * 20)
    memory = copy.deepcopy(memory)
    for flash in memory["flash"]:
        if "file" in flash:
            flash["file"] = str(backing)
    zorvsim.load_model({"devices": [{"memory": memory}]})
    dumped = zorvsim.get("/devices/0/memory")
    assert dumped["flash"] == memory["flash"]  # a file-backed memory shows its file, not its bytes
    if "pixelMask" in memory:
        assert dumped["pixelMask"] == memory["pixelMask"]
    before = zorvsim.model()
    zorvsim.load_model(copy.deepcopy(before))
    assert zorvsim.model() == before


def _text_places():
    """One place of each text member of the default model (the first of a list)."""
    zorvsim.reset()
    places, kinds = [], set()

    def walk(value, path):
        if isinstance(value, dict):
            for key, member in value.items():
                walk(member, f"{path}/{key}")
        elif isinstance(value, list):
            for i, item in enumerate(value):
                walk(item, f"{path}/{i}")
        elif isinstance(value, str):
            kind = "/".join("N" if part.isdigit() else part for part in path.split("/"))
            if kind not in kinds:
                kinds.add(kind)
                places.append(path)

    walk(zorvsim.model(), "")
    return places


# Texts with a rule of their own, which the rule refuses before anything reads the bytes.
RULED = {"/devices/0/chip/sensor/carriers": 'expected "holes" or "electrons"',
         "/devices/0/memory/flash/0/contents/0/hex": "expected an even number of hexadecimal digits"}


@pytest.mark.parametrize("place", _text_places())
def test_every_text_of_the_model_holds_bytes_that_are_not_utf8(place):
    raw = b"\xff\xfe text \xc3\x28"
    if place in RULED:
        with pytest.raises(zorvsim.SimError, match=RULED[place]):
            zorvsim.set(place, raw)
        return
    zorvsim.set(place, raw)
    assert zorvsim.get(place) == {"bytes": raw.hex()}
    before = zorvsim.model()
    zorvsim.load_model(copy.deepcopy(before))
    assert zorvsim.model() == before


def test_bytes_that_are_utf8_are_a_plain_text():
    zorvsim.set("/devices/0/product", {"bytes": "c3a9"})
    assert zorvsim.get("/devices/0/product") == "\u00e9"
    zorvsim.load_model({"devices": [{"product": "a", "manufacturer": b"\xe2\x82\xac"}]})
    assert zorvsim.get("/devices/0/manufacturer") == "\u20ac"


@pytest.mark.parametrize("value, problem", [
    ({"bytes": "ff00ff"}, "a text cannot hold a NUL byte (the library's texts end at their first one)"),
    ({"bytes": "fff"}, "expected the bytes as pairs of hexadecimal digits"),
    ({"bytes": "zz"}, "expected the bytes as pairs of hexadecimal digits"),
    ({"bytes": 255}, "expected the bytes as pairs of hexadecimal digits"),
    ({"bytes": "ff", "more": 1}, 'expected a string or {"bytes": "<hex>"}, found an object'),
    ({"hex": "ff"}, 'expected a string or {"bytes": "<hex>"}, found an object'),
    (7, 'expected a string or {"bytes": "<hex>"}, found an integer'),
])
def test_malformed_bytes_are_refused_at_their_place(value, problem):
    before = zorvsim.model()
    with pytest.raises(zorvsim.SimError) as e:
        zorvsim.load_model({"devices": [{"chip": {"senseDacs": ["bandgap", value]}}]})
    assert str(e.value) == f"model: /devices/0/chip/senseDacs/1: {problem}"
    assert zorvsim.model() == before
