// Submodule `state`: the PipelineState class.

#include "state/state.hpp"
#include "submodules.hpp"

namespace zemo::py {
namespace {

using state::PipelineState;

PyObject* construct(Call& c) {
    c.init_self(new PipelineState(c.text(0), c.text(1), c.text_list(2)));
    return none();
}

PyObject* is_completed(Call& c) { return boolean(c.self<PipelineState>().is_completed(c.text(0))); }

PyObject* mark_completed(Call& c) {
    c.self<PipelineState>().mark_completed(c.text(0));
    return none();
}

PyObject* mark_failed(Call& c) {
    c.self<PipelineState>().mark_failed(c.text(0), c.text(1));
    return none();
}

PyObject* step_status(Call& c) { return str(c.self<PipelineState>().step_status(c.text(0))); }

PyObject* step_error(Call& c) {
    std::optional<std::string_view> error = c.self<PipelineState>().step_error(c.text(0));
    return error ? str(*error) : none();
}

PyObject* validate_resume(Call& c) {
    Status checked = c.self<PipelineState>().validate_resume(c.text(0), c.text(1));
    if (!checked) raise(PyExc_ValueError, checked.error().message());
    return none();
}

PyObject* save(Call& c) {
    Status saved = c.self<PipelineState>().save(std::string(c.text(0)));
    if (!saved) raise_runtime(saved.error());
    return none();
}

PyObject* load(Call& c) {
    Result<PipelineState> loaded = PipelineState::load(std::string(c.text(0)));
    if (!loaded) raise_runtime(loaded.error());
    return c.new_instance(new PipelineState(std::move(loaded).value()));
}

constexpr Function kConstructor = {
    .name = "__new__",
    .params = {{.name = "db_url", .kind = Kind::Text},
               {.name = "csv_dir", .kind = Kind::Text},
               {.name = "steps", .kind = Kind::TextList}},
    .impl = &construct,
    .receiver = Receiver::Construct,
};

constexpr Param kStep = {.name = "step", .kind = Kind::Text};

constexpr Function kMethods[] = {
    {.name = "is_completed",
     .params = {kStep},
     .doc = "Return true if the step has been completed.",
     .impl = &is_completed,
     .receiver = Receiver::Shared},
    {.name = "mark_completed",
     .params = {kStep},
     .doc = "Mark a step as completed.",
     .impl = &mark_completed,
     .receiver = Receiver::Exclusive},
    {.name = "mark_failed",
     .params = {kStep, {.name = "error", .kind = Kind::Text}},
     .doc = "Mark a step as failed with an error message.",
     .impl = &mark_failed,
     .receiver = Receiver::Exclusive},
    {.name = "step_status",
     .params = {kStep},
     .doc = "Return the status string of a step (\"pending\", \"completed\", \"failed\", \"unknown\").",
     .impl = &step_status,
     .receiver = Receiver::Shared},
    {.name = "step_error",
     .params = {kStep},
     .doc = "Return the error message for a failed step, or None.",
     .impl = &step_error,
     .receiver = Receiver::Shared},
    {.name = "validate_resume",
     .params = {{.name = "db_url", .kind = Kind::Text}, {.name = "csv_dir", .kind = Kind::Text}},
     .doc = "Raise an error if db_url or csv_dir don't match this state.",
     .impl = &validate_resume,
     .receiver = Receiver::Shared},
    {.name = "save",
     .params = {{.name = "path", .kind = Kind::Text}},
     .doc = "Write state to a JSON file.",
     .impl = &save,
     .receiver = Receiver::Shared},
    {.name = "load",
     .params = {{.name = "path", .kind = Kind::Text}},
     .doc = "Load state from a JSON file with version migration support.",
     .impl = &load,
     .receiver = Receiver::Static},
};

constexpr ClassInfo kPipelineStateClass = {
    .name = "PipelineState",
    .doc = "Tracks step completion status for resumable ETL runs.",
    .constructor = &kConstructor,
    .methods = kMethods,
};

}  // namespace

void register_state(PyObject* module) { add_class<kPipelineStateClass>(module); }

}  // namespace zemo::py
