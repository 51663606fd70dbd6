#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "engine/property_engine.h"
#include "platform/message_box.h"
#include "server/interfaces.h"
#include "server/objects.h"

namespace ternival::server {

using namespace automation;

CDistillationApp::~CDistillationApp() {
    // The application owns the engine of its process: releasing the
    // current package closes it.
    CurrentPackage().reset();
}

const InterfaceInfo& CDistillationApp::Interface() const { return DistillationAppInterface(); }

HRESULT CDistillationApp::GetAzeotropeSearch(Variant& search) {
    search = Variant::Dispatch(std::make_shared<CAzeotropeSearch>());
    return S_OK;
}

HRESULT CDistillationApp::GetDistillationMap(Variant& map) {
    map = Variant::Dispatch(std::make_shared<CDistillationMap>());
    return S_OK;
}

HRESULT CDistillationApp::GetPropertyPackage(Variant& package) {
    auto& current = CurrentPackage();
    if (!current) {
        package = Variant::Dispatch(nullptr);
        return E_FAIL;
    }
    package = Variant::Dispatch(current);
    return S_OK;
}

HRESULT CDistillationApp::InitFromVmpdfFile(const Bstr& file) {
    auto& current = CurrentPackage();
    if (PackageCreated() && current) {
        if (!open_file_.empty()) {
            if (current->CloseVmpdfFile(open_file_) != S_OK) return E_FAIL;
            open_file_.clear();
        }
    } else {
        current = std::make_shared<CPropertyPackage>();
        current->MakeCurrent();
    }
    if (current->InitFromVmpdfFile(file) == S_OK) {
        open_file_ = file;
        return S_OK;
    }
    current->Close();
    current.reset();
    open_file_.clear();
    return E_FAIL;
}

HRESULT CDistillationApp::CloseVmpdfFile() {
    auto& current = CurrentPackage();
    if (PackageCreated() && current) {
        current->CloseVmpdfFile(open_file_);
        open_file_.clear();
    }
    return S_OK;
}

HRESULT CDistillationApp::InitFromVmpdfFileWithCWD(const Bstr& file, const Bstr& cwd) {
    if (::chdir(cwd.c_str()) != 0) {
        // The initialisation still runs, relative to the directory the
        // server already had; the failure is told to the user.
        platform::MessageBox("Unable to change the current directory to " + cwd + ": " +
                                                 std::strerror(errno), "Ternival");
    }
    return InitFromVmpdfFile(file);
}

HRESULT CDistillationApp::Call(DispId id, InvokeKind, std::vector<Variant>& a) {
    switch (id) {
        case 1: return GetAzeotropeSearch(a[0]);
        case 2: return GetDistillationMap(a[0]);
        case 3: return InitFromVmpdfFile(a[0].bstrVal);
        case 4: return GetPropertyPackage(a[0]);
        case 5: return CloseVmpdfFile();
        case 8: return InitFromVmpdfFileWithCWD(a[0].bstrVal, a[1].bstrVal);
        default: return DISP_E_MEMBERNOTFOUND;
    }
}

}  // namespace ternival::server
