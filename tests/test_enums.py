import operator

import pytest

from varnholt import OrderStatus, OrderType

from conftest import buy, sell

MEMBERS = [
    (OrderType, "Buy", 0),
    (OrderType, "Sell", 1),
    (OrderStatus, "Open", 0),
    (OrderStatus, "Filled", 1),
    (OrderStatus, "Canceled", 2),
]
MEMBER_IDS = [f"{cls.__name__}.{name}" for cls, name, _ in MEMBERS]


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("cls, name, number", MEMBERS, ids=MEMBER_IDS)
def test_member_is_a_shared_instance_with_its_number_and_text(cls, name, number):
    member = getattr(cls, name)
    assert type(member) is cls
    assert member is getattr(cls, name)
    assert int(member) == number and type(int(member)) is int
    assert repr(member) == f"{cls.__name__}.{name}"
    assert str(member) == repr(member)


@pytest.mark.parametrize("cls, name, number", MEMBERS, ids=MEMBER_IDS)
def test_member_equals_its_number_from_either_side(cls, name, number):
    member = getattr(cls, name)
    assert member == number and number == member
    assert not (member != number) and not (number != member)
    assert member == Indexable(number)
    if number < 2:
        assert member == bool(number)  # a bool is an integer too
    assert member != number + 1 and number + 1 != member
    # a value that only matches the member's byte after truncation is still a different number
    assert member != number + 256 and member != number + 2**64


@pytest.mark.parametrize("cls, names", [
    (OrderType, ["Buy", "Sell"]),
    (OrderStatus, ["Open", "Filled", "Canceled"]),
])
def test_members_of_one_class_compare_by_number(cls, names):
    for left in names:
        for right in names:
            same = left == right
            assert (getattr(cls, left) == getattr(cls, right)) is same
            assert (getattr(cls, left) != getattr(cls, right)) is not same


@pytest.mark.parametrize("other", [
    0.0, "Buy", "0", None, b"\x00", [0], 2**70, -(2**70), 2**64, OrderStatus.Open,
], ids=repr)
def test_buy_never_equals_something_that_is_not_a_64_bit_integer(other):
    assert (OrderType.Buy == other) is False
    assert (OrderType.Buy != other) is True


def test_members_of_the_two_enumerations_never_equal_each_other():
    assert (OrderType.Sell == OrderStatus.Filled) is False
    assert (OrderStatus.Filled == OrderType.Sell) is False
    assert (OrderType.Buy != OrderStatus.Open) is True


@pytest.mark.parametrize("compare", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize("left, right", [
    (OrderType.Buy, OrderType.Sell),
    (OrderStatus.Open, OrderStatus.Open),
    (OrderType.Buy, 1),
    (5, OrderStatus.Canceled),
])
def test_members_have_no_ordering(compare, left, right):
    with pytest.raises(TypeError):
        compare(left, right)


@pytest.mark.parametrize("member", [OrderType.Buy, OrderStatus.Open, OrderStatus.Canceled],
                         ids=repr)
def test_members_are_unhashable(member):
    assert type(member).__hash__ is None
    with pytest.raises(TypeError):
        hash(member)
    with pytest.raises(TypeError):
        {member}
    with pytest.raises(TypeError):
        {member: 1}


@pytest.mark.parametrize("member", [OrderType.Sell, OrderStatus.Filled], ids=repr)
def test_members_cannot_serve_as_an_index(member):
    with pytest.raises(TypeError):
        [10, 20][member]
    with pytest.raises(TypeError):
        operator.index(member)


@pytest.mark.parametrize("make, side", [(buy, OrderType.Buy), (sell, OrderType.Sell)])
def test_side_and_status_reads_give_fresh_equal_objects(make, side):
    order = make(100)
    assert order.side == side
    assert order.side is not side
    assert order.side is not order.side
    assert order.side == order.side
    assert type(order.side) is OrderType
    assert order.status == OrderStatus.Open
    assert order.status is not OrderStatus.Open
    assert type(order.status) is OrderStatus
    assert repr(order.side) == repr(side)
