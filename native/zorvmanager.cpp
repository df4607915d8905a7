// zorvia.zorvmanager: the manager through which the package reaches its login service and
// title server, the per-user network-client factory, and the logger setup.
//
// Each function below stands for one Python function; its parameter table sits beside it.
// Module-level names are looked up when used, so rebinding a module attribute changes what the
// next call uses.
#include "zorvia_runtime.hpp"

namespace {

using namespace zrt;

// Module-level names.
namespace g {
const Global logger{"logger"};
const Global stdout_{"stdout"};
const Global time{"time"};
const Global datetime{"datetime"};
const Global timedelta{"timedelta"};
const Global ZorvAES{"ZorvAES"};
const Global ZorvQrCodeError{"ZorvQrCodeError"};
const Global ZorvQrCodeTimeoutError{"ZorvQrCodeTimeoutError"};
const Global Zorv2{"Zorv2"};
const Global ZorvNet{"ZorvNet"};
const Global BaseZorvNet{"BaseZorvNet"};
const Global NET_LOG{"NET_LOG"};
const Global UserId{"UserId"};
const Global KelvoNet{"KelvoNet"};
const Global zorvia_logger{"zorvia_logger"};
const Global setup_logger{"setup_logger"};
const Global zorv_net_generator{"zorv_net_generator"};
const Global ZorvManager{"ZorvManager"};
const Global all{"__all__"};
}  // namespace g

// Attribute names and string constants.
namespace s {
const Attr add{"add"};
const Name remove{"remove"};
const Name level{"level"};
const Attr no{"no"};
const Name DEBUG{"DEBUG"};
const Attr net_log{"net_log"};
const Attr config{"config"};
const Attr logger{"logger"};
const Attr kelvo_net{"kelvo_net"};
const Attr zorv_net_maker{"zorv_net_maker"};
const Attr base_net{"base_net"};
const Attr last_ping_datetime{"last_ping_datetime"};
const Attr last_ping{"last_ping"};
const Attr keychip{"keychip"};
const Attr kelvo_salt{"kelvo_salt"};
const Attr proxy{"proxy"};
const Attr https_verify{"https_verify"};
const Attr zorv2_salt{"zorv2_salt"};
const Attr aes_key{"aes_key"};
const Attr aes_iv{"aes_iv"};
const Attr retry{"retry"};
const Attr place_id{"place_id"};
const Attr client_id{"client_id"};
const Name now{"now"};
const Name strptime{"strptime"};
const Name total_seconds{"total_seconds"};
const Name get_user_id_by_qrcode{"get_user_id_by_qrcode"};
const Name check_alive{"check_alive"};
const Name ping{"ping"};
const Attr upsert_client_testmode{"upsert_client_testmode"};
const Attr userId{"userId"};
const Name model_copy{"model_copy"};
const Name qr_prefix{"QZTRVXKD"};
const Name century{"20"};
const Name stamp_format{"%Y%m%d%H%M%S"};
}  // namespace s

// Number constants.
namespace n {
const Int _0{0};
const Int _1{1};
const Int _3{3};
const Int _15{15};
const Int _900{900};
}  // namespace n

bool truthy(PyObject* o) { return check_status(PyObject_IsTrue(o)) != 0; }

bool compare(PyObject* a, PyObject* b, int op) { return truthy(check(PyObject_RichCompare(a, b, op))); }

// ---------------------------------------------------------------------------------------
// def setup_logger():

// lambda record: record["level"].no >= logger.level("DEBUG").no
Ref level_filter(const Frame& f) {
    PyObject* record = f[0];
    Ref record_no = getattr(getitem(record, s::level), s::no);
    Ref debug_no = getattr(call_method(f.global(g::logger), s::level, s::DEBUG), s::no);
    return check(PyObject_RichCompare(record_no, debug_no, Py_GE));
}
constexpr Param level_filter_params[] = {{.name = "record"}};
const FunctionDef level_filter_def{
    .name = "<lambda>",
    .qualname = "setup_logger.<locals>.<lambda>",
    .params = level_filter_params,
    .body = level_filter,
};

Ref setup_logger(const Frame& f) {
    static const Keywords console_keywords{"filter"};
    static const Keywords file_keywords{"level", "backtrace", "diagnose", "rotation", "retention", "encoding", "filter"};

    call_method(f.global(g::logger), s::remove);
    {
        Ref add = getattr(f.global(g::logger), s::add);
        Ref sink = f.global(g::stdout_);
        call(add, {sink}, console_keywords, {make_function(level_filter_def, f)});
    }

    Ref folder_ = str("./log/");
    Ref rotation_ = str("5 MB");
    Ref retention_ = str("30 days");
    Ref encoding_ = str("utf-8");
    Ref backtrace_ = boolean(true);
    Ref diagnose_ = boolean(true);

    Ref add = getattr(f.global(g::logger), s::add);
    Ref path = check(PyUnicode_Concat(folder_, str("debug.log")));
    call(add, {path}, file_keywords,
         {s::DEBUG, backtrace_, diagnose_, rotation_, retention_, encoding_, make_function(level_filter_def, f)});
    return none();
}
const FunctionDef setup_logger_def{
    .name = "setup_logger",
    .qualname = "setup_logger",
    .params = {},
    .body = setup_logger,
};

// ---------------------------------------------------------------------------------------
// def zorv_net_generator(salt: str, aes: ZorvAES = None, logger: Logger = zorvia_logger,
//                        proxy="", verify=False, retry=3) -> Callable[[int, int], ZorvNet]:

// The values insider captures, in the order of zorv_net_generator's parameters.
enum Captured { salt, aes, logger, proxy, verify, retry, captured_count };

//     def insider(userId: int, ping: int) -> ZorvNet:
//         return ZorvNet(ping, salt, userId, logger, aes, proxy, verify, retry)
Ref insider(const Frame& f) {
    PyObject* userId = f[0];
    PyObject* ping = f[1];
    return call(f.global(g::ZorvNet), {ping, f.cell(salt), userId, f.cell(logger), f.cell(aes), f.cell(proxy),
                                       f.cell(verify), f.cell(retry)});
}
constexpr Param insider_params[] = {
    {.name = "userId", .annotation = "int", .exact = Exact::int_},
    {.name = "ping", .annotation = "int", .exact = Exact::int_},
};
const FunctionDef insider_def{
    .name = "insider",
    .qualname = "zorv_net_generator.<locals>.insider",
    .params = insider_params,
    .returns = "ZorvNet",
    .body = insider,
};

Ref zorv_net_generator(const Frame& f) {
    Ref closure = tuple({f[salt], f[aes], f[logger], f[proxy], f[verify], f[retry]});
    return make_function(insider_def, f, {}, std::move(closure));
}
constexpr Param zorv_net_generator_params[captured_count] = {
    {.name = "salt", .annotation = "str", .exact = Exact::str},
    {.name = "aes", .annotation = "ZorvAES"},
    {.name = "logger", .annotation = "Logger"},
    {.name = "proxy"},
    {.name = "verify"},
    {.name = "retry"},
};
const FunctionDef zorv_net_generator_def{
    .name = "zorv_net_generator",
    .qualname = "zorv_net_generator",
    .params = zorv_net_generator_params,
    .returns = "Callable[[int, int], ZorvNet]",
    .body = zorv_net_generator,
};

// ---------------------------------------------------------------------------------------
// class ZorvManager:

//     def __init__(self, config: ZorvConfig, logger: Logger = zorvia_logger):
Ref manager_init(const Frame& f) {
    static const Keywords kelvo_keywords{"keychip", "kelvo_salt", "proxy", "verify"};
    static const Keywords aes_keywords{"key", "iv"};
    static const Keywords factory_keywords{"salt", "logger", "aes", "proxy", "verify", "retry"};
    static const Keywords base_keywords{"salt", "userId", "logger", "aes", "proxy", "verify"};
    static const Keywords hours_keywords{"hours"};
    PyObject* self = f[0];
    PyObject* config = f[1];
    PyObject* logger = f[2];

    setattr(self, s::net_log, f.global(g::NET_LOG));
    setattr(self, s::config, config);
    setattr(self, s::logger, logger);

    // A new cipher from the configured key and IV.
    auto new_aes = [&] {
        Ref cls = f.global(g::ZorvAES);
        Ref key = getattr(config, s::aes_key);
        Ref iv = getattr(config, s::aes_iv);
        return call(cls, {}, aes_keywords, {key, iv});
    };

    {
        Ref cls = f.global(g::KelvoNet);
        Ref keychip = getattr(config, s::keychip);
        Ref kelvo_salt = getattr(config, s::kelvo_salt);
        Ref proxy = getattr(config, s::proxy);
        Ref verify = getattr(config, s::https_verify);
        setattr(self, s::kelvo_net, call(cls, {}, kelvo_keywords, {keychip, kelvo_salt, proxy, verify}));
    }
    {
        Ref factory = f.global(g::zorv_net_generator);
        Ref salt = getattr(config, s::zorv2_salt);
        Ref aes = new_aes();
        Ref proxy = getattr(config, s::proxy);
        Ref verify = getattr(config, s::https_verify);
        Ref retry = getattr(config, s::retry);
        setattr(self, s::zorv_net_maker, call(factory, {}, factory_keywords, {salt, logger, aes, proxy, verify, retry}));
    }
    {
        Ref cls = f.global(g::BaseZorvNet);
        Ref salt = getattr(config, s::zorv2_salt);
        Ref user_id = getattr(config, s::keychip);
        Ref aes = new_aes();
        Ref proxy = getattr(config, s::proxy);
        Ref verify = getattr(config, s::https_verify);
        setattr(self, s::base_net, call(cls, {}, base_keywords, {salt, user_id, logger, aes, proxy, verify}));
    }
    Ref now = call_method(f.global(g::datetime), s::now);
    Ref hour = call(f.global(g::timedelta), {}, hours_keywords, {n::_1});
    setattr(self, s::last_ping_datetime, check(PyNumber_Subtract(now, hour)));
    setattr(self, s::last_ping, n::_0);
    return none();
}
constexpr Param init_params[] = {
    {.name = "self"},
    {.name = "config", .annotation = "ZorvConfig"},
    {.name = "logger", .annotation = "Logger"},
};
const FunctionDef init_def{
    .name = "__init__",
    .qualname = "ZorvManager.__init__",
    .params = init_params,
    .body = manager_init,
};

//     def generate_user_id(self, qrcode: str = None, userId: int = None) -> UserId | None:
Ref generate_user_id(const Frame& f) {
    static const Keywords user_id_keywords{"userId"};
    static const Keywords minutes_keywords{"minutes"};
    PyObject* self = f[0];
    PyObject* qrcode = f[1];
    PyObject* userId = f[2];

    if (userId != Py_None) return call(f.global(g::UserId), {}, user_id_keywords, {userId});
    if (qrcode == Py_None) return none();
    if (check_status(static_cast<int>(PyUnicode_Tailmatch(qrcode, s::qr_prefix, 0, PY_SSIZE_T_MAX, -1))) == 0) {
        raise_object(f.global(g::ZorvQrCodeError));
    }
    Ref stamp_text = check(PyUnicode_Concat(s::century, check(PyUnicode_Substring(qrcode, 8, 20))));
    Ref stamp = call_method(f.global(g::datetime), s::strptime, stamp_text, s::stamp_format);
    Ref now = call_method(f.global(g::datetime), s::now);
    Ref window = call(f.global(g::timedelta), {}, minutes_keywords, {n::_15});
    if (compare(now, check(PyNumber_Add(stamp, window)), Py_GE)) raise_object(f.global(g::ZorvQrCodeTimeoutError));

    Ref kelvo_net = getattr(self, s::kelvo_net);
    return call_method(kelvo_net, s::get_user_id_by_qrcode, check(PyUnicode_Substring(qrcode, 20, PY_SSIZE_T_MAX)));
}
constexpr Param generate_user_id_params[] = {
    {.name = "self"},
    {.name = "qrcode", .annotation = "str", .exact = Exact::str, .none_ok = true},
    {.name = "userId", .annotation = "int", .exact = Exact::int_, .none_ok = true},
};
const FunctionDef generate_user_id_def{
    .name = "generate_user_id",
    .qualname = "ZorvManager.generate_user_id",
    .params = generate_user_id_params,
    .returns = "UserId | None",
    .body = generate_user_id,
};

constexpr Param self_only[] = {{.name = "self"}};

//     def check_db_alive(self) -> bool:
Ref check_db_alive(const Frame& f) {
    PyObject* self = f[0];
    return call_method(getattr(self, s::kelvo_net), s::check_alive);
}
const FunctionDef check_db_alive_def{
    .name = "check_db_alive",
    .qualname = "ZorvManager.check_db_alive",
    .params = self_only,
    .returns = "bool",
    .body = check_db_alive,
};

//     @property
//     def ping(self) -> int:
Ref ping(const Frame& f) {
    PyObject* self = f[0];
    Ref now = call_method(f.global(g::datetime), s::now);
    Ref since = check(PyNumber_Subtract(now, getattr(self, s::last_ping_datetime)));
    if (compare(call_method(since, s::total_seconds), n::_900, Py_GT)) {
        setattr(self, s::last_ping, call_method(getattr(self, s::base_net), s::ping));
        setattr(self, s::last_ping_datetime, call_method(f.global(g::datetime), s::now));
    }
    return getattr(self, s::last_ping);
}
const FunctionDef ping_def{
    .name = "ping",
    .qualname = "ZorvManager.ping",
    .params = self_only,
    .returns = "int",
    .result = Exact::int_,
    .body = ping,
};

//     def client_test(self) -> Dict:
Ref client_test(const Frame& f) {
    static const Keywords testmode_keywords{"placeId", "clientId"};
    PyObject* self = f[0];
    Ref upsert = getattr(getattr(self, s::base_net), s::upsert_client_testmode);
    Ref place_id = getattr(getattr(self, s::config), s::place_id);
    Ref client_id = getattr(getattr(self, s::config), s::client_id);
    return call(upsert, {}, testmode_keywords, {place_id, client_id});
}
const FunctionDef client_test_def{
    .name = "client_test",
    .qualname = "ZorvManager.client_test",
    .params = self_only,
    .returns = "Dict",
    .result = Exact::dict,
    .body = client_test,
};

//     def generate_zorv2(self, I_userId: UserId) -> Zorv2:
Ref generate_zorv2(const Frame& f) {
    static const Keywords deep_keywords{"deep"};
    static const Keywords zorv2_keywords{"net", "userId", "timestamp", "config", "logger"};
    PyObject* self = f[0];
    PyObject* I_userId = f[1];

    Ref time_now = check(PyNumber_Long(call(f.global(g::time))));
    Ref cls = f.global(g::Zorv2);
    Ref maker = getattr(self, s::zorv_net_maker);
    Ref user_id = getattr(I_userId, s::userId);
    Ref ping = getattr(self, s::ping);
    Ref net = call(maker, {user_id, ping});
    Ref config = call(getattr(getattr(self, s::config), s::model_copy), {}, deep_keywords, {Py_True});
    Ref logger = getattr(self, s::logger);
    return call(cls, {}, zorv2_keywords, {net, I_userId, time_now, config, logger});
}
constexpr Param generate_zorv2_params[] = {
    {.name = "self"},
    {.name = "I_userId", .annotation = "UserId"},
};
const FunctionDef generate_zorv2_def{
    .name = "generate_zorv2",
    .qualname = "ZorvManager.generate_zorv2",
    .params = generate_zorv2_params,
    .returns = "Zorv2",
    .body = generate_zorv2,
};

// ---------------------------------------------------------------------------------------
// The module body.

Ref manager_class(const Scope& m) {
    return make_class(g::ZorvManager, "zorvia.zorvmanager",
                      {
                          {"__init__", make_function(init_def, m, tuple({m.global(g::zorvia_logger)}))},
                          {"generate_user_id", make_function(generate_user_id_def, m, tuple({Py_None, Py_None}))},
                          {"check_db_alive", make_function(check_db_alive_def, m)},
                          {"ping", call(reinterpret_cast<PyObject*>(&PyProperty_Type), {make_function(ping_def, m)})},
                          {"client_test", make_function(client_test_def, m)},
                          {"generate_zorv2", make_function(generate_zorv2_def, m)},
                      });
}

void body(const Scope& m) {
    m.from_import("datetime", {"timedelta", "datetime"});
    m.from_import("sys", {"stdout"});
    m.from_import("time", {"time"});
    m.from_import("typing", {"Callable", "Dict"});
    m.from_import("loguru", {"logger"});
    m.from_import("loguru._logger", {"Logger"});
    m.from_import("zorvia.aes", {"ZorvAES"});
    m.from_import("zorvia.errors", {"ZorvQrCodeError", "ZorvQrCodeTimeoutError"});
    m.from_import("zorvia.zorv2", {"Zorv2", "ZorvNet", "BaseZorvNet", "NET_LOG"});
    m.from_import("zorvia.zorvtypes", {"ZorvConfig", "UserId"});
    m.from_import("zorvia.userid", {"KelvoNet"});

    m.set(g::zorvia_logger, m.global(g::logger));
    m.set(g::setup_logger, make_function(setup_logger_def, m));
    Ref generator_defaults = tuple({Py_None, m.global(g::zorvia_logger), str(""), Py_False, n::_3});
    m.set(g::zorv_net_generator, make_function(zorv_net_generator_def, m, std::move(generator_defaults)));
    m.set(g::ZorvManager, manager_class(m));
    m.set(g::all, list({g::setup_logger, g::ZorvManager, g::zorvia_logger}));
}

Module module{"zorvmanager", "zorvia.zorvmanager", body};

}  // namespace

PyMODINIT_FUNC PyInit_zorvmanager() { return module.init(); }
