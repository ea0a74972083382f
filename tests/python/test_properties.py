"""Whatever a script hands the module, it is taken or refused with one of the
module's exceptions or a ValueError, TypeError or OSError (never a
RuntimeError, a UnicodeError or a crash), a refusal changes nothing, and a
profile that is taken is written by save() as load() reads it."""

import itertools
import os
import shutil
import tempfile
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import morvane
from conftest import firmware_words, hex_text

CHECKED = settings(max_examples=300, deadline=None, database=None)
FOLDER = Path(tempfile.mkdtemp(prefix="mv-properties-"))
NAMES = itertools.count()


@pytest.fixture(scope="module", autouse=True)
def _clean_up():
    yield
    shutil.rmtree(FOLDER)

anything = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(min_value=-(2**80), max_value=2**80),
    st.floats(), st.text(max_size=30), st.binary(max_size=30), st.lists(st.floats(), max_size=13),
    st.lists(st.integers(min_value=-10, max_value=300000), min_size=12, max_size=12), st.tuples(st.text()),
)


def refusal(call):
    """The exception call() raised (None when none), which must be one a script can expect."""
    try:
        call()
    except Exception as e:  # noqa: BLE001 - checked here
        assert isinstance(e, (morvane.MorvaneError, ValueError, TypeError, OSError)), repr(e)
        assert not isinstance(e, (UnicodeError, RuntimeError)), repr(e)
        assert "\n" not in str(e), repr(e)
        return e
    return None


def fresh(suffix):
    return FOLDER / f"{next(NAMES)}{suffix}"


@CHECKED
@given(st.binary(max_size=700), st.sampled_from([1, 2, 3, -1, -2]))
def test_any_buffer_is_read_with_its_strides_or_refused(data, step):
    view = memoryview(data)[::step]
    profile = None

    def read():
        nonlocal profile
        profile = morvane.Profile.from_bytes(view)

    if refusal(read) is None:
        assert len(view) == 222 and profile.to_bytes() == bytes(view)
    else:
        assert len(view) != 222


@CHECKED
@given(st.lists(st.tuples(st.sampled_from([f.key for f in morvane.Profile.fields] + ["vf_table"]), anything,
                          st.booleans()), max_size=8))
def test_any_value_is_taken_or_refused_and_what_is_taken_round_trips(changes):
    p = morvane.Profile.default(1)
    for key, value, clamp in changes:
        before = p.to_bytes()
        if refusal(lambda: p.set(key, value, clamp=clamp)) is not None:
            assert p.to_bytes() == before, (key, value)
        elif not clamp and isinstance(value, (int, float, str)) and not isinstance(value, bool):
            assert getattr(p, key) == pytest.approx(value, abs=1e-6), (key, value)  # taken as given
    p.check()  # set field by field, the profile stays one the file reader takes
    path = fresh(".ini")
    p.save(path)
    assert morvane.Profile.load(path) == p


@CHECKED
@given(st.integers(min_value=1, max_value=55), st.binary(max_size=80), st.binary(max_size=400))
def test_any_file_is_read_or_refused(line, text, whole):
    good = fresh(".ini")
    morvane.Profile.default(2).save(good)
    lines = good.read_bytes().split(b"\r\n")
    lines[line - 1] = text
    for content in (b"\r\n".join(lines), whole):
        path = fresh(".ini")
        path.write_bytes(content)
        read = []
        if refusal(lambda: read.append(morvane.Profile.load(path))) is None:
            read[0].save(path)
            assert morvane.Profile.load(path) == read[0]


@CHECKED
@given(st.text(max_size=20))
def test_any_file_name_is_written_and_read_or_refused(name):
    folder = fresh("")
    folder.mkdir()
    path = os.path.join(folder, name)
    if refusal(lambda: morvane.Profile.default(3).save(path)) is None:
        assert morvane.Profile.load(path) == morvane.Profile.default(3)
        assert morvane.Profile.load(os.fsencode(path)) == morvane.Profile.default(3)


@CHECKED
@given(st.integers(min_value=0, max_value=30), st.binary(max_size=60), st.binary(max_size=300))
def test_any_hex_file_is_summed_up_or_refused(line, text, whole):
    lines = hex_text({a: a & 0xFF for a in range(0, 256)}).encode().split(b"\n")
    lines[line % len(lines)] = text
    for content in (b"\n".join(lines), whole):
        path = fresh(".hex")
        path.write_bytes(content)
        refusal(lambda: morvane.hex.info(path))


@pytest.fixture(scope="module")
def firmware():
    image = {}
    firmware_words(image, 4 * 4096, 2 * 4096)
    firmware_words(image, 21 * 4096, 16)
    path = FOLDER / "firmware.hex"
    path.write_text(hex_text(image))
    return path


@settings(max_examples=80, deadline=None, database=None)
@given(st.dictionaries(anything.filter(lambda k: k.__hash__ is not None),
                       st.one_of(st.just(morvane.Profile.default(1)), st.builds(morvane.Profile.from_bytes,
                                                                                st.binary(min_size=222,
                                                                                          max_size=222)),
                                 anything), max_size=3),
       anything, anything)
def test_any_spl_build_is_made_or_refused(firmware, profiles, fw_version, app_start):
    out = fresh("")
    made = []
    refusal(lambda: made.append(morvane.spl.build(firmware, out, profiles=profiles)))
    refusal(lambda: made.append(morvane.spl.build(firmware, fresh(""), fw_version=fw_version)))
    refusal(lambda: made.append(morvane.spl.build(firmware, fresh(""), app_start=app_start)))
    for built in made:
        assert morvane.spl.inspect(built.path).ok
