// zorvia.zorvmanager: the manager through which the package reaches its login service and
// title server, the per-user network-client factory, and the logger setup.
//
// Each function below stands for one Python function; its parameter table sits beside it.
// Module-level names are looked up when used, so rebinding a module attribute changes what the
// next call uses.
#include "module_api.hpp"

namespace {

using namespace zrt;

// Module-level names (the builtins the module uses among them) and attribute names.
namespace n {
const Name logger{"logger"};
const Name stdout_{"stdout"};
const Name time{"time"};
const Name datetime{"datetime"};
const Name timedelta{"timedelta"};
const Name ZorvAES{"ZorvAES"};
const Name ZorvQrCodeError{"ZorvQrCodeError"};
const Name ZorvQrCodeTimeoutError{"ZorvQrCodeTimeoutError"};
const Name Zorv2{"Zorv2"};
const Name ZorvNet{"ZorvNet"};
const Name BaseZorvNet{"BaseZorvNet"};
const Name NET_LOG{"NET_LOG"};
const Name UserId{"UserId"};
const Name KelvoNet{"KelvoNet"};
const Name zorvia_logger{"zorvia_logger"};
const Name setup_logger{"setup_logger"};
const Name zorv_net_generator{"zorv_net_generator"};
const Name ZorvManager{"ZorvManager"};
const Name all{"__all__"};
const Name int_{"int"};
const Name property{"property"};
const Name init{"__init__"};
const Name generate_user_id{"generate_user_id"};
const Name check_db_alive{"check_db_alive"};
const Name client_test{"client_test"};
const Name generate_zorv2{"generate_zorv2"};

const Name add{"add"};
const Name remove{"remove"};
const Name level{"level"};
const Name no{"no"};
const Name net_log{"net_log"};
const Name config{"config"};
const Name kelvo_net{"kelvo_net"};
const Name zorv_net_maker{"zorv_net_maker"};
const Name base_net{"base_net"};
const Name last_ping_datetime{"last_ping_datetime"};
const Name last_ping{"last_ping"};
const Name keychip{"keychip"};
const Name kelvo_salt{"kelvo_salt"};
const Name proxy{"proxy"};
const Name https_verify{"https_verify"};
const Name zorv2_salt{"zorv2_salt"};
const Name aes_key{"aes_key"};
const Name aes_iv{"aes_iv"};
const Name retry{"retry"};
const Name place_id{"place_id"};
const Name client_id{"client_id"};
const Name now{"now"};
const Name strptime{"strptime"};
const Name total_seconds{"total_seconds"};
const Name get_user_id_by_qrcode{"get_user_id_by_qrcode"};
const Name check_alive{"check_alive"};
const Name ping{"ping"};
const Name upsert_client_testmode{"upsert_client_testmode"};
const Name userId{"userId"};
const Name model_copy{"model_copy"};
}  // namespace n

// The literals of the module's source.
namespace literal {
const Str level{"level"};
const Str debug{"DEBUG"};
const Str log_folder{"./log/"};
const Str log_file{"debug.log"};
const Str rotation{"5 MB"};
const Str retention{"30 days"};
const Str encoding{"utf-8"};
const Str empty{""};
const Str qr_prefix{"QZTRVXKD"};
const Str century{"20"};
const Str stamp_format{"%Y%m%d%H%M%S"};
const Int default_retry{3};
const Int ping_age_at_start_hours{1};
const Int initial_ping{0};
const Int qr_window_minutes{15};
const Int ping_lifetime_seconds{900};
}  // namespace literal

// ---------------------------------------------------------------------------------------
// def setup_logger():

// lambda record: record["level"].no >= logger.level("DEBUG").no
Ref level_filter(const Frame& f) {
    PyObject* record = f[0];
    Ref record_no = getattr(getitem(record, literal::level), n::no);
    Ref debug_no = getattr(call_method(f.global(n::logger), n::level, literal::debug), n::no);
    return check(PyObject_RichCompare(record_no, debug_no, Py_GE));
}
constexpr Param level_filter_params[] = {{.name = "record"}};
const FunctionDef level_filter_def{
    .name = "<lambda>",
    .qualname = "setup_logger.<locals>.<lambda>",
    .params = level_filter_params,
    .body = level_filter,
};

const Keywords console_keywords{"filter"};
const Keywords file_keywords{"level", "backtrace", "diagnose", "rotation", "retention", "encoding", "filter"};

Ref setup_logger(const Frame& f) {
    call_method(f.global(n::logger), n::remove);
    {
        Ref add = getattr(f.global(n::logger), n::add);
        Ref sink = f.global(n::stdout_);
        call(add, {sink}, console_keywords, {make_function(level_filter_def, f)});
    }

    PyObject* folder_ = literal::log_folder;
    PyObject* rotation_ = literal::rotation;
    PyObject* retention_ = literal::retention;
    PyObject* encoding_ = literal::encoding;
    PyObject* backtrace_ = Py_True;
    PyObject* diagnose_ = Py_True;

    Ref add = getattr(f.global(n::logger), n::add);
    Ref path = concat(folder_, literal::log_file);
    call(add, {path}, file_keywords,
         {literal::debug, backtrace_, diagnose_, rotation_, retention_, encoding_, make_function(level_filter_def, f)});
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
    return call(f.global(n::ZorvNet), {ping, f.cell(salt), userId, f.cell(logger), f.cell(aes), f.cell(proxy),
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

const Keywords kelvo_keywords{"keychip", "kelvo_salt", "proxy", "verify"};
const Keywords aes_keywords{"key", "iv"};
const Keywords factory_keywords{"salt", "logger", "aes", "proxy", "verify", "retry"};
const Keywords base_keywords{"salt", "userId", "logger", "aes", "proxy", "verify"};
const Keywords hours_keywords{"hours"};

//     def __init__(self, config: ZorvConfig, logger: Logger = zorvia_logger):
Ref manager_init(const Frame& f) {
    PyObject* self = f[0];
    PyObject* config = f[1];
    PyObject* logger = f[2];

    setattr(self, n::net_log, f.global(n::NET_LOG));
    setattr(self, n::config, config);
    setattr(self, n::logger, logger);

    // ZorvAES(key=config.aes_key, iv=config.aes_iv)
    auto new_aes = [&] {
        Ref cls = f.global(n::ZorvAES);
        Ref key = getattr(config, n::aes_key);
        Ref iv = getattr(config, n::aes_iv);
        return call(cls, {}, aes_keywords, {key, iv});
    };

    {
        Ref cls = f.global(n::KelvoNet);
        Ref keychip = getattr(config, n::keychip);
        Ref kelvo_salt = getattr(config, n::kelvo_salt);
        Ref proxy = getattr(config, n::proxy);
        Ref verify = getattr(config, n::https_verify);
        setattr(self, n::kelvo_net, call(cls, {}, kelvo_keywords, {keychip, kelvo_salt, proxy, verify}));
    }
    {
        Ref factory = f.global(n::zorv_net_generator);
        Ref salt = getattr(config, n::zorv2_salt);
        Ref aes = new_aes();
        Ref proxy = getattr(config, n::proxy);
        Ref verify = getattr(config, n::https_verify);
        Ref retry = getattr(config, n::retry);
        setattr(self, n::zorv_net_maker, call(factory, {}, factory_keywords, {salt, logger, aes, proxy, verify, retry}));
    }
    {
        Ref cls = f.global(n::BaseZorvNet);
        Ref salt = getattr(config, n::zorv2_salt);
        Ref user_id = getattr(config, n::keychip);
        Ref aes = new_aes();
        Ref proxy = getattr(config, n::proxy);
        Ref verify = getattr(config, n::https_verify);
        setattr(self, n::base_net, call(cls, {}, base_keywords, {salt, user_id, logger, aes, proxy, verify}));
    }
    Ref now = call_method(f.global(n::datetime), n::now);
    Ref hour = call(f.global(n::timedelta), {}, hours_keywords, {literal::ping_age_at_start_hours});
    setattr(self, n::last_ping_datetime, check(PyNumber_Subtract(now, hour)));
    setattr(self, n::last_ping, literal::initial_ping);
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

const Keywords user_id_keywords{"userId"};
const Keywords minutes_keywords{"minutes"};

//     def generate_user_id(self, qrcode: str = None, userId: int = None) -> UserId | None:
Ref generate_user_id(const Frame& f) {
    PyObject* self = f[0];
    PyObject* qrcode = f[1];
    PyObject* userId = f[2];

    if (userId != Py_None) return call(f.global(n::UserId), {}, user_id_keywords, {userId});
    if (qrcode == Py_None) return none();
    if (check_status(static_cast<int>(PyUnicode_Tailmatch(qrcode, literal::qr_prefix, 0, PY_SSIZE_T_MAX, -1))) == 0) {
        raise_object(f.global(n::ZorvQrCodeError));
    }
    Ref stamp_text = concat(literal::century, check(PyUnicode_Substring(qrcode, 8, 20)));
    Ref stamp = call_method(f.global(n::datetime), n::strptime, stamp_text, literal::stamp_format);
    Ref now = call_method(f.global(n::datetime), n::now);
    Ref window = call(f.global(n::timedelta), {}, minutes_keywords, {literal::qr_window_minutes});
    if (compare(now, check(PyNumber_Add(stamp, window)), Py_GE)) raise_object(f.global(n::ZorvQrCodeTimeoutError));

    Ref kelvo_net = getattr(self, n::kelvo_net);
    return call_method(kelvo_net, n::get_user_id_by_qrcode, check(PyUnicode_Substring(qrcode, 20, PY_SSIZE_T_MAX)));
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
//         return self.kelvo_net.check_alive()
Ref check_db_alive(const Frame& f) {
    PyObject* self = f[0];
    return call_method(getattr(self, n::kelvo_net), n::check_alive);
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
    Ref now = call_method(f.global(n::datetime), n::now);
    Ref since = check(PyNumber_Subtract(now, getattr(self, n::last_ping_datetime)));
    if (compare(call_method(since, n::total_seconds), literal::ping_lifetime_seconds, Py_GT)) {
        setattr(self, n::last_ping, call_method(getattr(self, n::base_net), n::ping));
        setattr(self, n::last_ping_datetime, call_method(f.global(n::datetime), n::now));
    }
    return getattr(self, n::last_ping);
}
const FunctionDef ping_def{
    .name = "ping",
    .qualname = "ZorvManager.ping",
    .params = self_only,
    .returns = "int",
    .result = Exact::int_,
    .body = ping,
};

const Keywords testmode_keywords{"placeId", "clientId"};

//     def client_test(self) -> Dict:
Ref client_test(const Frame& f) {
    PyObject* self = f[0];
    Ref upsert = getattr(getattr(self, n::base_net), n::upsert_client_testmode);
    Ref place_id = getattr(getattr(self, n::config), n::place_id);
    Ref client_id = getattr(getattr(self, n::config), n::client_id);
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

const Keywords deep_keywords{"deep"};
const Keywords zorv2_keywords{"net", "userId", "timestamp", "config", "logger"};

//     def generate_zorv2(self, I_userId: UserId) -> Zorv2:
Ref generate_zorv2(const Frame& f) {
    PyObject* self = f[0];
    PyObject* I_userId = f[1];

    Ref int_ = f.global(n::int_);
    Ref time_now = call(int_, {call(f.global(n::time))});
    Ref cls = f.global(n::Zorv2);
    Ref maker = getattr(self, n::zorv_net_maker);
    Ref user_id = getattr(I_userId, n::userId);
    Ref ping = getattr(self, n::ping);
    Ref net = call(maker, {user_id, ping});
    Ref config = call(getattr(getattr(self, n::config), n::model_copy), {}, deep_keywords, {Py_True});
    Ref logger = getattr(self, n::logger);
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

// class ZorvManager: each member made and stored in the order of the class body.
Ref manager_class(const Scope& m) {
    Ref init = make_function(init_def, m, tuple({m.global(n::zorvia_logger)}));
    Ref generate_user_id = make_function(generate_user_id_def, m, tuple({Py_None, Py_None}));
    Ref check_db_alive = make_function(check_db_alive_def, m);
    Ref ping_getter = make_function(ping_def, m);
    Ref ping = call(m.global(n::property), {ping_getter});
    Ref client_test = make_function(client_test_def, m);
    Ref generate_zorv2 = make_function(generate_zorv2_def, m);
    return make_class(m, n::ZorvManager,
                      {
                          {n::init, init},
                          {n::generate_user_id, generate_user_id},
                          {n::check_db_alive, check_db_alive},
                          {n::ping, ping},
                          {n::client_test, client_test},
                          {n::generate_zorv2, generate_zorv2},
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

    m.set(n::zorvia_logger, m.global(n::logger));
    m.set(n::setup_logger, make_function(setup_logger_def, m));
    Ref generator_defaults = tuple({Py_None, m.global(n::zorvia_logger), literal::empty, Py_False, literal::default_retry});
    m.set(n::zorv_net_generator, make_function(zorv_net_generator_def, m, std::move(generator_defaults)));
    m.set(n::ZorvManager, manager_class(m));
    m.set(n::all, list({n::setup_logger, n::ZorvManager, n::zorvia_logger}));
}

Module module{"zorvmanager", "zorvia.zorvmanager", body};

}  // namespace

PyMODINIT_FUNC PyInit_zorvmanager() { return module.init(); }
