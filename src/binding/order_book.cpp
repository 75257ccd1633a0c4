// The Python face of OrderBook.

#include "arrays.hpp"
#include "entry.hpp"
#include "pickling.hpp"

#include <utility>

namespace varnholt::binding {
namespace {

// The resting orders of one side, copied out of the book and then turned into a new list of new
// Order objects.
struct RestingOrders {
    const OrderBook* book;
    OrderType side;
};

std::vector<Order> copy_out(const RestingOrders& resting) {
    std::vector<Order> orders;
    orders.reserve(resting.book->resting_count(resting.side));
    resting.book->for_each_resting(resting.side, [&](const Order& order) { orders.push_back(order); });
    return orders;
}

OrderBook new_book(std::optional<double> tick_size) { return OrderBook(tick_size.value_or(0.01)); }

Result<Order> book_create_order(const OrderBook& self, OrderType side, double price, double quantity) {
    return self.create_order(side, price, quantity, system_environment());
}

// A trade's result, made as Python objects after the core's plan and before its commit (see
// BeforeCommit): once the book changes nothing is left that can fail, so a call that raises has
// changed nothing and a trade always reaches its caller.
class FillsMadeFirst final : public BeforeCommit {
public:
    Result<void> ready(std::span<const Fill> fills) override {
        const CollectionPause pause;  // the book is borrowed
        auto made = list_of(fills);
        if (!made) {
            failure_.emplace(std::move(made.error()));
            return internal_failure({});  // stands for failure_, which the call raises
        }
        list_ = std::move(*made);
        return {};
    }

    // The call's result once the borrows have ended: the list made in ready(), or None when the
    // operation had nothing to return (an amendment of an id that does not rest).
    template <class Outcome>
    PyResult<Ref> result(Result<Outcome>&& done) && {
        if (failure_) {
            return fail(std::move(*failure_));
        }
        if (!done) {
            return fail(from_core(std::move(done.error())));
        }
        if constexpr (requires { done->has_value(); }) {
            if (!done->has_value()) {
                return Ref::borrow(Py_None);
            }
        }
        return std::move(list_);
    }

private:
    Ref list_;
    std::optional<PyError> failure_;
};

// An operation's outcome with its result made first, turned into the result after the borrows.
template <class Outcome>
struct Traded {
    Result<Outcome> done;
    FillsMadeFirst made;
};

template <class Outcome>
PyResult<Ref> to_python(Traded<Outcome>&& traded) {
    return std::move(traded.made).result(std::move(traded.done));
}

Traded<std::vector<Fill>> book_add(OrderBook& self, Order incoming_order) {
    Traded<std::vector<Fill>> traded;
    traded.done = self.add(incoming_order, system_environment(), &traded.made);
    return traded;
}

// An owner as the book keeps it: 0 (none) up to 2**32 - 1.
std::optional<std::uint32_t> owner_of(std::optional<std::uint64_t> owner) {
    if (owner.value_or(0) > 0xFFFF'FFFFu) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(owner.value_or(0));
}
constexpr const char* owner_range = "owner must be below 2**32";

Traded<std::vector<Fill>> book_add_as(OrderBook& self, Order incoming_order, std::uint64_t ref,
                                      std::optional<std::uint64_t> owner) {
    Traded<std::vector<Fill>> traded;
    const auto own = owner_of(owner);
    if (!own) {
        traded.done = invalid_value(owner_range);
        return traded;
    }
    incoming_order.owner = *own;
    traded.done = self.add_as(incoming_order, ref, system_environment(), &traded.made);
    return traded;
}

std::uint64_t book_self_trade(const OrderBook& self) { return static_cast<std::uint64_t>(self.self_trade()); }

PyResult<Ref> book_set_self_trade(OrderBook& self, std::uint64_t policy) {
    if (policy >= self_trade_policies) {
        return fail(error(PyExc_ValueError, "self_trade must be OrderBook.STP_OFF, STP_CANCEL_RESTING, "
                                            "STP_CANCEL_INCOMING or STP_DECREMENT (0 to 3)"));
    }
    self.set_self_trade(static_cast<SelfTrade>(policy));
    return Ref::borrow(Py_None);
}

bool book_cancel(OrderBook& self, std::string_view order_id) { return self.cancel(order_id); }
std::optional<Order> book_get_order(const OrderBook& self, std::string_view order_id) { return self.get_order(order_id); }
void book_update_order(OrderBook& self, const Order& order) { self.update_order(order); }
std::optional<BestLevel> book_best_bid(const OrderBook& self) { return self.best_bid(); }
std::optional<BestLevel> book_best_ask(const OrderBook& self) { return self.best_ask(); }
double book_buy_volume(const OrderBook& self) { return self.buy_volume(); }
double book_sell_volume(const OrderBook& self) { return self.sell_volume(); }
std::optional<double> book_spread(const OrderBook& self) { return self.spread(); }
// A listing shows ids: the side's orders that replay entered get theirs first (see
// naming_view in pickling.hpp for why a reading borrow may do that).
Result<RestingOrders> resting_orders(const OrderBook& self, OrderType side) {
    if (auto named = naming_view(self).name_resting(system_environment().ids, side); !named) {
        return std::unexpected(std::move(named.error()));
    }
    return RestingOrders{&self, side};
}
Result<RestingOrders> book_buy_orders(const OrderBook& self) { return resting_orders(self, OrderType::Buy); }
Result<RestingOrders> book_sell_orders(const OrderBook& self) { return resting_orders(self, OrderType::Sell); }
double book_tick_size(const OrderBook& self) { return self.tick_size(); }
std::string book_summary(const OrderBook& self) { return self.summary(); }

// (price_in_ticks, quantity, orders) of one level.
using LevelTuple = std::tuple<std::int64_t, double, std::uint64_t>;

std::vector<LevelTuple> level_tuples(const std::vector<LevelDepth>& levels) {
    std::vector<LevelTuple> tuples;
    tuples.reserve(levels.size());
    for (const LevelDepth& level : levels) {
        tuples.emplace_back(level.price_in_ticks, level.quantity, level.orders);
    }
    return tuples;
}

std::pair<std::vector<LevelTuple>, std::vector<LevelTuple>> book_depth(const OrderBook& self,
                                                                       std::optional<std::uint64_t> levels) {
    const auto [bids, asks] = self.depth(levels.value_or(10));
    return {level_tuples(bids), level_tuples(asks)};
}

std::pair<double, std::uint64_t> book_volume_at(const OrderBook& self, OrderType side, std::int64_t price_in_ticks) {
    const LevelDepth level = self.volume_at(side, price_in_ticks);
    return {level.quantity, level.orders};
}

std::optional<std::pair<std::uint64_t, double>> book_queue_position(const OrderBook& self, std::string_view order_id) {
    const auto position = self.queue_position(order_id);
    if (!position) {
        return std::nullopt;
    }
    return std::pair{position->orders_ahead, position->quantity_ahead};
}

Traded<std::vector<Fill>> book_take(OrderBook& self, Order order, std::optional<bool> all_or_none) {
    Traded<std::vector<Fill>> traded;
    traded.done = self.take(order, all_or_none.value_or(false), system_environment(), &traded.made);
    return traded;
}

Traded<std::optional<std::vector<Fill>>> book_amend(OrderBook& self, std::string_view order_id, OrNone<double> quantity,
                                                    OrNone<std::int64_t> price_in_ticks) {
    Traded<std::optional<std::vector<Fill>>> traded;
    traded.done = self.amend(order_id, quantity.value, price_in_ticks.value, system_environment(), &traded.made);
    return traded;
}

std::uint64_t book_forget_filled(OrderBook& self) { return self.forget_filled(); }

Result<const OrderId*> book_order_id(const OrderBook& self, std::uint64_t ref) {
    return naming_view(self).order_id(ref, system_environment().ids);
}

// The records of a replay, published as OrderBook.EVENT_FIELDS and its kin (see replay.hpp).
constexpr Field event_fields[] = {
    {"kind", "|u1"}, {"side", "|u1"}, {"price_in_ticks", "<i8"}, {"quantity", "<f8"}, {"ref", "<u8"}};
constexpr Field feed_event_fields[] = {{"kind", "|u1"},     {"side", "|u1"},    {"price_in_ticks", "<i8"},
                                       {"quantity", "<f8"}, {"ref", "<u8"},     {"new_ref", "<u8"},
                                       {"timestamp", "<u8"}};
constexpr Field event_result_fields[] = {{"status", "|u1"}, {"side", "|u1"}, {"price_in_ticks", "<i8"},
                                         {"quantity", "<f8"}, {"fills", "<u4"}, {"reason", "|u1"},
                                         {"at_front", "|u1"}};
constexpr Field fill_fields[] = {{"event", "<u8"},          {"resting_ref", "<u8"}, {"incoming_ref", "<u8"},
                                 {"price_in_ticks", "<i8"}, {"quantity", "<f8"},    {"timestamp", "<u8"}};
constexpr Field level_fields[] = {{"price_in_ticks", "<i8"}, {"quantity", "<f8"}, {"orders", "<u8"}};
constexpr RecordLayout event_layout{event_fields, replay_event_size};
constexpr RecordLayout feed_event_layout{feed_event_fields, feed_event_size};
constexpr RecordLayout event_result_layout{event_result_fields, sizeof(EventOutcome)};
constexpr RecordLayout fill_layout{fill_fields, sizeof(FillRecord)};
constexpr RecordLayout level_layout{level_fields, sizeof(LevelRecord)};

// The core works with the interpreter lock released, so that books in other threads replay at the
// same time; the book stays exclusively borrowed meanwhile, and the caller's array, whose
// interface was read before the borrow, is read in place (the caller must not change it during
// the call). Everything the call returns is made before the book changes: once events are
// applied, handing back their results cannot fail.
// The exception of a replay that stopped part-way, made as an object at once so that it carries
// `results`: the results of the events applied before the one it stopped at (its arrays end there),
// which are in the book.
PyResult<PyError> stopped_replay(PyObject* type, const std::string& message, PyObject* results) {
    Ref instance = Ref::steal(PyObject_CallFunction(type, "s#", message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!instance || PyObject_SetAttrString(instance.get(), "results", results) != 0) {
        return fail(fetch_error());
    }
    return PyError(PendingException{Ref::borrow(type), {}, std::move(instance), {}, {}});
}

// The MemoryError a replay raises when it runs out of memory part-way, made before the book
// changes (so that it can be raised whatever memory is left) and kept in the result for the next
// call that writes into it; `results` is None until it is raised.
PyResult<PyObject*> out_of_memory_error(ReplayResult& result) {
    if (!result.out_of_memory) {
        auto made = stopped_replay(PyExc_MemoryError,
                                   "replay ran out of memory part-way: error.results holds the results of the "
                                   "events it applied before it stopped; the later events are not applied",
                                   Py_None);
        if (!made) {
            return fail(std::move(made.error()));
        }
        result.out_of_memory.emplace(std::move(*made));
    }
    return (*result.out_of_memory)->value.get();
}

// The name under which an error carries a replay's results, made once: setting an attribute that
// the error already has (None) then allocates nothing.
PyResult<PyObject*> results_name() {
    static PyObject* name = PyUnicode_InternFromString("results");  // kept until the process ends
    if (name == nullptr) {
        return fail(fetch_error());
    }
    return name;
}

// Below this many events a replay keeps the interpreter lock: releasing and taking it again cost
// about 250 ns a call, which is most of what a batch of one or two events costs (two builds of the
// module, 2-, 16- and 62-event batches written into `out`, interleaved runs: 850 against 1,100 ns
// for 2 events on a busy machine); a batch of 64 events takes some 15 us.
constexpr std::size_t events_worth_releasing_the_lock = LongRun::long_run_events;

// A replay that may stop early usually applies a few events and stops, however many follow
// `start`: it keeps the lock and releases it once it has applied 64 events and goes on (a call
// that stops on a watched fill after one event, bench/cheap_calls.py --quick: 6.2x -> 3.4x one
// add; callgrind counts 8,706 -> 6,909 instructions for it with the inline watch list, RefSet's
// inline table, the fill scratch and the remembered keywords together, and does not count the
// lock's hand-over between threads, the rest of the gain). The lock is taken again when the core returns or throws,
// before anything touches an object.
class LockReleasedWhenLong final : public LongRun {
public:
    LockReleasedWhenLong() = default;
    LockReleasedWhenLong(const LockReleasedWhenLong&) = delete;
    LockReleasedWhenLong& operator=(const LockReleasedWhenLong&) = delete;
    ~LockReleasedWhenLong() { retake(); }
    void started() override { released_ = PyEval_SaveThread(); }
    void retake() noexcept {
        if (released_ != nullptr) {
            PyEval_RestoreThread(std::exchange(released_, nullptr));
        }
    }

private:
    PyThreadState* released_ = nullptr;
};

// The core works with the interpreter lock released (for batches of more than a few events), so
// that books in other threads replay at the same time; the book stays exclusively borrowed
// meanwhile, and the caller's array, whose interface was read before the borrow, is read in place
// (the caller must not change it during the call). Everything the call returns is made before the
// book changes: once events are applied, handing back their results cannot fail. With `out`, the
// results are written into that result object (its arrays' storage is reused when nothing else
// holds them), and it is returned.
PyResult<Ref> book_replay(OrderBook& self, Records<event_layout, feed_event_layout> events,
                          std::optional<std::uint64_t> depth, std::optional<std::uint64_t> every,
                          std::optional<std::uint64_t> start, OrNone<std::uint64_t> until, RefList watch,
                          std::optional<bool> touch, RefList queue, std::optional<std::uint64_t> owner,
                          OrNone<LayoutChoice<event_layout, feed_event_layout>> layout_named, Out<ReplayResult> out) {
    ReplayOptions options;
    options.depth = static_cast<std::size_t>(depth.value_or(0));
    options.every = static_cast<std::size_t>(every.value_or(1));
    if (options.every == 0) {
        return fail(error(PyExc_ValueError, "every must be at least 1"));
    }
    auto records = in_layout(events, layout_named.value ? std::optional(layout_named.value->index) : std::nullopt);
    if (!records) {
        return fail(std::move(records.error()));
    }
    const EventLayout layout = records->layout == 0 ? EventLayout::Order : EventLayout::Feed;
    if (start.value_or(0) > records->count) {
        return fail(error(PyExc_ValueError, "start must be at most the number of events (" +
                                                std::to_string(records->count) + ")"));
    }
    if (until.value && layout != EventLayout::Feed) {
        return fail(error(PyExc_ValueError, "until needs events of OrderBook.FEED_EVENT_FIELDS, which carry times"));
    }
    const auto own = owner_of(owner);
    if (!own) {
        return fail(error(PyExc_ValueError, owner_range));
    }
    options.start = static_cast<std::size_t>(start.value_or(0));
    options.owner = *own;
    options.stop = StopConditions{watch.refs, touch.value_or(false), queue.refs, until.value};
    // An array's shape holds Py_ssize_t: more levels could not be described even with no snapshot.
    if (options.depth > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
        return fail(error(PyExc_ValueError, "depth must be below 2**63"));
    }
    Ref result_object = Ref::borrow(out.object);
    if (!result_object) {
        auto made = new_instance(ReplayResult{});
        if (!made) {
            return fail(std::move(made.error()));
        }
        result_object = std::move(*made);
    }
    ReplayResult& result = out.record != nullptr ? *out.record : instance<ReplayResult>(result_object.get())->record;
    auto outcomes = PendingArray<EventOutcome>::reuse(result.arrays[0], event_result_layout);
    if (!outcomes) {
        return fail(std::move(outcomes.error()));
    }
    auto fills = PendingArray<FillRecord>::reuse(result.arrays[1], fill_layout);
    if (!fills) {
        return fail(std::move(fills.error()));
    }
    auto bids = PendingArray<LevelRecord>::reuse(result.arrays[2], level_layout, options.depth);
    if (!bids) {
        return fail(std::move(bids.error()));
    }
    auto asks = PendingArray<LevelRecord>::reuse(result.arrays[3], level_layout, options.depth);
    if (!asks) {
        return fail(std::move(asks.error()));
    }
    auto out_of_memory = out_of_memory_error(result);
    auto name = results_name();
    if (!out_of_memory || !name) {
        return fail(std::move(!out_of_memory ? out_of_memory.error() : name.error()));
    }
    Environment& environment = system_environment();
    ReplayOutput written;
    written.next = options.start;
    written.events = outcomes->take();
    written.fills = fills->take();
    written.bids = bids->take();
    written.asks = asks->take();
    // The results of the events applied: all of them, or those before the one the replay stopped at.
    const auto hand_over = [&] {
        result.next = written.next;
        result.stopped = written.stopped;
        const std::size_t fill_count = written.fills.size();
        outcomes->fill(std::move(written.events), written.applied);
        fills->fill(std::move(written.fills), fill_count);
        bids->fill(std::move(written.bids), written.snapshots);
        asks->fill(std::move(written.asks), written.snapshots);
    };
    const auto apply = [&] { return self.replay(records->data, records->count, layout, options, environment, written); };
    Result<void> done;
    try {
        if (records->count - options.start < events_worth_releasing_the_lock) {
            done = apply();
        } else if (options.stop.any()) {
            LockReleasedWhenLong lock;
            options.long_run = &lock;
            done = apply();
            lock.retake();
        } else {
            done = without_interpreter_lock(apply);
        }
    } catch (const std::bad_alloc&) {
        hand_over();
        // Setting an attribute the error has allocates nothing; the error leaves the result, which
        // makes a new one for its next call.
        if (PyObject_SetAttr(*out_of_memory, *name, result_object.get()) != 0) {
            PyErr_Clear();
        }
        PyError raised = std::move(*result.out_of_memory);
        result.out_of_memory.reset();
        return fail(std::move(raised));
    }
    hand_over();
    if (!done) {
        Error& core = done.error();
        auto stopped = stopped_replay(core.kind == ErrorKind::InvalidValue ? PyExc_ValueError : fatal_error_type(),
                                      core.message, result_object.get());
        return fail(stopped ? std::move(*stopped) : std::move(stopped.error()));
    }
    return result_object;
}

constexpr Params<1> book_new{"OrderBook", "__new__", {"tick_size"}, 0};
constexpr Params<3> create_order_params{"OrderBook", "create_order", {"side", "price", "quantity"}};
constexpr Params<1> add_params{"OrderBook", "add", {"incoming_order"}};
constexpr Params<3> add_as_params{"OrderBook", "add_as", {"order", "ref", "owner"}, 2};
constexpr Params<1> self_trade_params{"OrderBook", "self_trade", {"self_trade"}};
constexpr Params<1> cancel_params{"OrderBook", "cancel", {"order_id"}};
constexpr Params<1> get_order_params{"OrderBook", "get_order", {"order_id"}};
constexpr Params<1> update_order_params{"OrderBook", "update_order", {"order"}};
constexpr Params<1> depth_params{"OrderBook", "depth", {"levels"}, 0};
constexpr Params<2> volume_at_params{"OrderBook", "volume_at", {"side", "price_in_ticks"}};
constexpr Params<1> queue_position_params{"OrderBook", "queue_position", {"order_id"}};
constexpr Params<2> take_params{"OrderBook", "take", {"order", "all_or_none"}, 1};
constexpr Params<3> amend_params{"OrderBook", "amend", {"order_id", "quantity", "price_in_ticks"}, 1};
constexpr Params<1> book_deepcopy_params{"OrderBook", "__deepcopy__", {"memo"}};
constexpr Params<11> replay_params{"OrderBook",
                                    "replay",
                                    {"events", "depth", "every", "start", "until", "watch", "touch", "queue", "owner",
                                     "layout", "out"},
                                    1,
                                    3};
constexpr Params<1> order_id_params{"OrderBook", "order_id", {"ref"}};

PyMethodDef book_methods[] = {
    method_row<&book_create_order, create_order_params>(
        "create_order",
        "create_order(self, side, price, quantity)\n--\n\n"
        "Creates an order (but does not add to the book) based off the book's tick size."),
    method_row<&book_add, add_params>(
        "add", "add(self, incoming_order)\n--\n\nAdds an order to the book, attempting to match it with resting orders."),
    method_row<&book_add_as, add_as_params>(
        "add_as",
        "add_as($self, order, ref, owner=0)\n--\n\n"
        "Adds an order exactly as add() does, and what rests of it rests under the reference `ref`,\n"
        "so that replay() events can name it and replay fills name it (resting_ref == ref).\n"
        "`owner` (0 for none, below 2**32) is whose order it is, for self-trade prevention.\n"
        "A ref that already rests, or NO_REF, is a ValueError and changes nothing. Returns the fills."),
    method_row<&book_cancel, cancel_params>("cancel", "cancel(self, order_id)\n--\n\nCancels an order by its ID."),
    method_row<&book_get_order, get_order_params>(
        "get_order",
        "get_order(self, order_id)\n--\n\nRetrieves an order by its ID. Returns None if the order is not found."),
    method_row<&book_update_order, update_order_params>(
        "update_order", "update_order($self, order)\n--\n\nHelper method to update an order in the `orders` map."),
    no_arguments_row<&book_best_bid>("best_bid", "best_bid($self)\n--\n\nHelper method to get best bid"),
    no_arguments_row<&book_best_ask>("best_ask", "best_ask($self)\n--\n\nHelper method to get best ask"),
    no_arguments_row<&book_buy_volume>("buy_volume",
                                       "buy_volume($self)\n--\n\nHelper method to calculate total buy volume"),
    no_arguments_row<&book_sell_volume>("sell_volume",
                                        "sell_volume($self)\n--\n\nHelper method to calculate total sell volume"),
    no_arguments_row<&book_spread>(
        "spread",
        "spread($self)\n--\n\nCalculate the current spread in the order book.\n"
        "Returns None if there are no orders on either side.\n"
        "The spread is returned in the same units as the prices (not ticks)."),
    method_row<&book_depth, depth_params>(
        "depth",
        "depth($self, levels=10)\n--\n\n"
        "The best `levels` price levels of each side, as (bids, asks): two lists of\n"
        "(price_in_ticks, quantity, orders) tuples, best first (highest bid, lowest ask).\n"
        "`quantity` is the sum of the open quantities resting at that price, `orders` how many\n"
        "orders rest there."),
    method_row<&book_volume_at, volume_at_params>(
        "volume_at",
        "volume_at($self, side, price_in_ticks)\n--\n\n"
        "The (quantity, orders) resting at one price on one side; (0.0, 0) where nothing rests."),
    method_row<&book_queue_position, queue_position_params>(
        "queue_position",
        "queue_position($self, order_id)\n--\n\n"
        "Where a resting order stands in its level: (orders_ahead, quantity_ahead), the orders ahead\n"
        "of it and the sum of their open quantities. None when the id names no resting order."),
    method_row<&book_take, take_params>(
        "take",
        "take($self, order, all_or_none=False)\n--\n\n"
        "An immediate order: matched as add() matches it, but its open remainder never rests.\n"
        "Immediate-or-cancel (all_or_none=False) drops the remainder; fill-or-kill (all_or_none=True)\n"
        "trades only if it fills completely (when the quantities it trades, summed in the sweep's\n"
        "order, reach its quantity), and otherwise changes nothing and returns []. The registry\n"
        "records the order Filled, or Canceled with its untraded quantity, unless its id still\n"
        "rests in the book. Returns the fills."),
    method_row<&book_amend, amend_params>(
        "amend",
        "amend($self, order_id, quantity=None, price_in_ticks=None)\n--\n\n"
        "Changes a resting order's open quantity and/or price. A lower quantity at the same price\n"
        "keeps its place in the queue; a higher quantity or another price takes it out and enters it\n"
        "again (matching first if it crosses) with a new timestamp, behind the orders already at\n"
        "that price. Returns the fills, or None when the id names no resting order."),
    no_arguments_row<&book_forget_filled>(
        "forget_filled",
        "forget_filled($self)\n--\n\n"
        "Removes every filled order from the registry (get_order then returns None for it),\n"
        "except an id that still has resting copies. Returns how many it removed."),
    method_row<&book_replay, replay_params>(
        "replay",
        "replay($self, events, depth=0, every=1, *, start=0, until=None, watch=None, touch=False,\n"
        "       queue=None, owner=0, layout=None, out=None)\n--\n\n"
        "Applies a whole array of order events (a NumPy structured array of dtype\n"
        "np.dtype(OrderBook.EVENT_FIELDS), or of OrderBook.FEED_EVENT_FIELDS, whose events carry\n"
        "their own times) in one call, with the interpreter lock released: adds, cancels,\n"
        "amendments and immediate orders exactly as the per-call methods, and the feed verbs\n"
        "POST, EXECUTE, REDUCE and REPLACE (the kinds are OrderBook.ADD ... OrderBook.REPLACE). Returns an object whose members events,\n"
        "fills, bids and asks expose the array interface (np.asarray() reads them in place);\n"
        "with depth=L, bids and asks hold the top L levels after every `every`-th event.\n\n"
        "It begins at event `start` and stops after the first event that meets a condition given:\n"
        "a fill naming a ref in `watch`, a change of the best bid or ask (`touch=True`), a change\n"
        "of what rests ahead of a ref in `queue` (or that order leaving or moving); or before the\n"
        "first event whose timestamp is at least `until` (feed layout). result.next is the index\n"
        "of the first event not applied, result.stopped the OrderBook.STOP_* bits met (0 when it\n"
        "ran through). Orders it enters carry `owner` (see self_trade).\n\n"
        "The events may also be packed records in bytes, a bytearray or a memoryview, read in the\n"
        "layout `layout` names (OrderBook.EVENT_FIELDS, the default, or OrderBook.FEED_EVENT_FIELDS).\n"
        "out=<a previous result>: the results are written into it, reusing its arrays' storage when\n"
        "nothing else holds them, and it is returned."),
    method_row<&book_order_id, order_id_params>(
        "order_id",
        "order_id($self, ref)\n--\n\nThe id of the order resting under a reference given to replay(), or None."),
    no_arguments_row<&reduce_book>("__reduce__", reduce_doc),
    no_arguments_row<&copy_book>("__copy__", copy_doc),
    method_row<&deep_copy_book, book_deepcopy_params>("__deepcopy__", deepcopy_doc),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef book_properties[] = {
    property_row<&book_buy_orders>("buy_orders", "Get a list of all buy orders"),
    property_row<&book_sell_orders>("sell_orders", "Get a list of all sell orders"),
    property_row<&book_tick_size>("tick_size", "Return the tick size for informational purposes"),
    property_row<&book_self_trade, &book_set_self_trade, self_trade_params>(
        "self_trade",
        "What a match between two orders of one (non-zero) owner does: OrderBook.STP_OFF (trade as\n"
        "any other orders, the default), STP_CANCEL_RESTING (the resting order is cancelled and\n"
        "matching goes on), STP_CANCEL_INCOMING (the incoming order's remainder is cancelled) or\n"
        "STP_DECREMENT (both lose the smaller quantity, no fill)."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot book_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&constructor<&new_book, book_new>)},
    {Py_tp_repr, reinterpret_cast<void*>(&unary<&book_summary>)},
    {Py_tp_methods, book_methods},
    {Py_tp_getset, book_properties},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc<OrderBook>)},
    {0, nullptr},
};

template <const RecordLayout& Layout>
PyResult<Ref> describe_layout(PyTypeObject*) {
    return layout_description(Layout);
}

// A named number of the replay records: an event kind, status or reject reason.
template <auto Value>
PyResult<Ref> number(PyTypeObject*) {
    return binding::to_python(static_cast<std::uint64_t>(Value));
}

constexpr ClassAttribute book_attributes[] = {
    {"EVENT_FIELDS", &describe_layout<event_layout>},
    {"FEED_EVENT_FIELDS", &describe_layout<feed_event_layout>},
    {"EVENT_RESULT_FIELDS", &describe_layout<event_result_layout>},
    {"FILL_FIELDS", &describe_layout<fill_layout>},
    {"LEVEL_FIELDS", &describe_layout<level_layout>},
    {"NO_REF", &number<no_ref>},
    {"ADD", &number<EventKind::Add>},
    {"CANCEL", &number<EventKind::Cancel>},
    {"AMEND", &number<EventKind::Amend>},
    {"IOC", &number<EventKind::ImmediateOrCancel>},
    {"FOK", &number<EventKind::FillOrKill>},
    {"POST", &number<EventKind::Post>},
    {"EXECUTE", &number<EventKind::Execute>},
    {"REDUCE", &number<EventKind::Reduce>},
    {"REPLACE", &number<EventKind::Replace>},
    {"APPLIED", &number<EventStatus::Applied>},
    {"REJECTED", &number<EventStatus::Rejected>},
    {"UNKNOWN_REF", &number<EventStatus::UnknownRef>},
    {"REASON_NONE", &number<RejectReason::None>},
    {"REASON_KIND", &number<RejectReason::Kind>},
    {"REASON_SIDE", &number<RejectReason::Side>},
    {"REASON_QUANTITY", &number<RejectReason::Quantity>},
    {"REASON_PRICE", &number<RejectReason::Price>},
    {"REASON_LIVE_REF", &number<RejectReason::LiveRef>},
    {"REASON_NO_REF", &number<RejectReason::NoRef>},
    {"REASON_EXCEEDS", &number<RejectReason::Exceeds>},
    {"STOP_FILL", &number<StopFill>},
    {"STOP_TOUCH", &number<StopTouch>},
    {"STOP_QUEUE", &number<StopQueue>},
    {"STOP_TIME", &number<StopTime>},
    {"STP_OFF", &number<SelfTrade::Off>},
    {"STP_CANCEL_RESTING", &number<SelfTrade::CancelResting>},
    {"STP_CANCEL_INCOMING", &number<SelfTrade::CancelIncoming>},
    {"STP_DECREMENT", &number<SelfTrade::Decrement>},
};

}  // namespace

template <>
const ClassDefinition& Class<OrderBook>::definition() {
    static const ClassDefinition definition{"OrderBook", "(tick_size=0.01)",
                                "Represents the main order book for matching buy and sell orders.",
                                sizeof(Instance<OrderBook>), book_slots, book_attributes};
    return definition;
}

}  // namespace varnholt::binding
