"""Coil positions and channels."""
import operator

import pytest

from pyvexa import Channel, Coil
from conftest import IS_PYPY

MEMBERS = [
    (Coil, "A1", 0), (Coil, "A2", 1), (Coil, "B1", 2), (Coil, "B2", 3),
    (Channel, "A", 0), (Channel, "B", 1),
]
ALL = [getattr(cls, name) for cls, name, _ in MEMBERS]
MEMBERS_OF = {Coil: ["A1", "A2", "B1", "B2"], Channel: ["A", "B"]}


@pytest.mark.parametrize("cls, name, number", MEMBERS)
def test_member_basics(proto, cls, name, number):
    member = getattr(cls, name)
    assert type(member) is cls
    assert repr(member) == str(member) == f"{cls.__name__}.{name}"
    assert int(member) == number and type(int(member)) is int
    # The same object on every access, also after operations used it.
    proto.set_amplitude_source(Coil.B2, True, 1)
    proto.set_modulation_source(Channel.A, False, 2)
    proto.enable_channel(Channel.B)
    assert getattr(cls, name) is member


def test_members_are_all_distinct():
    for a in ALL:
        for b in ALL:
            assert (a == b) is (a is b)
            assert (a != b) is (a is not b)
    assert len(set(ALL)) == 6
    assert {Coil.A1: 1, Channel.A: 2}[Coil.A1] == 1
    assert hash(Coil.B1) == hash(Coil.B1)


@pytest.mark.parametrize("member, number", [(Coil.A1, 0), (Coil.B2, 3), (Channel.B, 1)])
def test_not_equal_to_its_number(member, number):
    assert member != number and not member == number
    assert member != str(member)


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
def test_no_ordering(op):
    with pytest.raises(TypeError):
        op(Coil.A1, Coil.A2)
    with pytest.raises(TypeError):
        op(Channel.A, 0)


@pytest.mark.parametrize("use", [
    lambda m: [10, 20, 30, 40][m],
    lambda m: operator.index(m),
    lambda m: range(m),
    lambda m: hex(m),
    lambda m: "ab" * m,
])
def test_no_index(use):
    for member in (Channel.B, Coil.B1):
        with pytest.raises(TypeError):
            use(member)


@pytest.mark.parametrize("cls", [Coil, Channel])
def test_cannot_be_created(cls):
    for args in [(), (0,)]:
        with pytest.raises(TypeError) as info:
            cls(*args)
        assert str(info.value) == f"cannot create 'builtins.{cls.__name__}' instances"
    with pytest.raises(TypeError):
        cls.__new__(cls)
    if IS_PYPY:
        # PyPy lets object.__new__ allocate one; it holds variant 0 and is
        # not the member itself.
        stray = object.__new__(cls)
        assert int(stray) == 0 and stray is not getattr(cls, MEMBERS_OF[cls][0])
    else:
        with pytest.raises(TypeError):
            object.__new__(cls)


@pytest.mark.parametrize("cls, names", [(Coil, {"A1", "A2", "B1", "B2"}), (Channel, {"A", "B"})])
def test_nothing_beyond_members(cls, names):
    assert {n for n in dir(cls) if not n.startswith("_")} == names
    with pytest.raises(TypeError):
        iter(cls)
    member = getattr(cls, sorted(names)[0])
    assert not hasattr(member, "name") and not hasattr(member, "value")
