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

const Function kConstructor = {
    "__new__",
    {{{"db_url", Kind::Text}, {"csv_dir", Kind::Text}, {"steps", Kind::TextList}}},
    "",
    &construct,
    Receiver::Construct,
};

const Function kMethods[] = {
    {"is_completed", {{{"step", Kind::Text}}}, "Return true if the step has been completed.", &is_completed,
     Receiver::Shared},
    {"mark_completed", {{{"step", Kind::Text}}}, "Mark a step as completed.", &mark_completed,
     Receiver::Exclusive},
    {"mark_failed", {{{"step", Kind::Text}, {"error", Kind::Text}}}, "Mark a step as failed with an error message.",
     &mark_failed, Receiver::Exclusive},
    {"step_status", {{{"step", Kind::Text}}},
     "Return the status string of a step (\"pending\", \"completed\", \"failed\", \"unknown\").", &step_status,
     Receiver::Shared},
    {"step_error", {{{"step", Kind::Text}}}, "Return the error message for a failed step, or None.", &step_error,
     Receiver::Shared},
    {"validate_resume", {{{"db_url", Kind::Text}, {"csv_dir", Kind::Text}}},
     "Raise an error if db_url or csv_dir don't match this state.", &validate_resume, Receiver::Shared},
    {"save", {{{"path", Kind::Text}}}, "Write state to a JSON file.", &save, Receiver::Shared},
    {"load", {{{"path", Kind::Text}}}, "Load state from a JSON file with version migration support.", &load,
     Receiver::Static},
};

ClassInfo kPipelineStateClass = {
    "PipelineState",
    "Tracks step completion status for resumable ETL runs.",
    &kConstructor,
    kMethods,
    std::size(kMethods),
};

}  // namespace

void register_state(PyObject* module) { add_class<kPipelineStateClass, std::size(kMethods)>(module); }

}  // namespace zemo::py
