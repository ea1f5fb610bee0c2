// get_gpu_uuid: what `nvidia-smi --query-gpu=uuid --format=csv,noheader`
// prints, decoded as UTF-8 and stripped of surrounding whitespace.
//
// The tool runs through subprocess.check_output, imported at every call. The
// wait is bounded: a hung driver can keep nvidia-smi from ever exiting, and an
// unbounded wait would hang every caller with it. On expiry check_output kills
// and reaps the child and raises TimeoutExpired, reported like any failure.

#include "lines.hpp"
#include "sources.hpp"

namespace ostrel {

namespace {

Ref run_tool(Frame& frame)
{
    frame.line = line::kGpuImport;
    Ref subprocess = Ref::steal(PyImport_ImportModuleLevelObject(texts.subprocess, frame.globals, nullptr, nullptr, 0));
    if (!subprocess) {
        return {};
    }
    frame.line = line::kGpuRun;
    Ref check_output = Ref::steal(PyObject_GetAttr(subprocess.get(), texts.check_output));
    Ref command = Ref::steal(PyList_New(3));
    if (!check_output || !command) {
        return {};
    }
    PyList_SET_ITEM(command.get(), 0, Py_NewRef(texts.nvidia_smi));
    PyList_SET_ITEM(command.get(), 1, Py_NewRef(texts.query_gpu));
    PyList_SET_ITEM(command.get(), 2, Py_NewRef(texts.format_csv));
    PyObject* args[] = {command.get(), texts.tool_timeout};
    return Ref::steal(PyObject_Vectorcall(check_output.get(), args, 1, texts.kw_timeout));
}

Ref gpu_uuid(Frame& frame)
{
    Ref output = run_tool(frame);
    if (!output) {
        return {};
    }
    frame.line = line::kGpuDecode;
    Ref text = Ref::steal(PyObject_CallMethodOneArg(output.get(), texts.decode, texts.utf_8));
    return text ? Ref::steal(PyObject_CallMethodNoArgs(text.get(), texts.strip)) : Ref{};
}

} // namespace

Ref get_gpu_uuid(Frame& frame, PyObject*)
{
    return guarded(frame, texts.prefix_gpu, line::kGpuHandler, gpu_uuid);
}

} // namespace ostrel
