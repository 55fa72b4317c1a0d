// The store behind the Reg… functions: either two trees held in memory, or the files of one
// directory. One mutex serialises every operation of this process; the file store adds the
// per-file lock that serialises processes.
#include "platform/registry/registry_store.h"

#include <mutex>

#include "platform/registry/registry_backend.h"
#include "platform/registry/registry_file.h"

namespace kelm::platform {

struct RegistrySelection {
    bool in_memory = false;
    std::string directory;  // "" = the default directory, looked up at each operation
    RegistryKey current_user;
    RegistryKey local_machine;
};

namespace {

std::mutex g_mutex;
RegistrySelection g_selection;
std::string g_last_problem;

RegistryKey& MemoryTree(RegistryRoot root) {
    return root == RegistryRoot::CurrentUser ? g_selection.current_user : g_selection.local_machine;
}

// The directory of the file store; "" (with the problem noted) when none can be found.
std::string CurrentDirectory() {
    std::string directory = g_selection.directory.empty() ? DefaultRegistryDirectory() : g_selection.directory;
    if (directory.empty()) g_last_problem = "no registry directory: set KELM_REGISTRY_DIR or HOME";
    return directory;
}

}  // namespace

void UseInMemoryRegistry() {
    std::lock_guard lock(g_mutex);
    g_selection = RegistrySelection{};
    g_selection.in_memory = true;
    g_last_problem.clear();
}

void UseRegistryDirectory(const std::string& directory) {
    std::lock_guard lock(g_mutex);
    g_selection = RegistrySelection{};
    g_selection.directory = directory;
    g_last_problem.clear();
}

std::string RegistryDirectory() {
    std::lock_guard lock(g_mutex);
    if (g_selection.in_memory) return "";
    return g_selection.directory.empty() ? DefaultRegistryDirectory() : g_selection.directory;
}

std::string RegistryLastProblem() {
    std::lock_guard lock(g_mutex);
    return g_last_problem;
}

std::shared_ptr<const RegistrySelection> SaveRegistrySelection() {
    std::lock_guard lock(g_mutex);
    return std::make_shared<const RegistrySelection>(g_selection);
}

void RestoreRegistrySelection(const RegistrySelection& selection) {
    std::lock_guard lock(g_mutex);
    g_selection = selection;
    g_last_problem.clear();
}

LONG ReadRegistryRoot(RegistryRoot root, const std::function<LONG(const RegistryKey&)>& read) {
    std::lock_guard lock(g_mutex);
    g_last_problem.clear();
    if (g_selection.in_memory) return read(MemoryTree(root));
    const std::string directory = CurrentDirectory();
    if (directory.empty()) return ERROR_REGISTRY_IO_FAILED;
    RegistryKey tree;
    if (const LONG result = ReadRegistryFile(directory, root, tree, g_last_problem); result != ERROR_SUCCESS)
        return result;
    return read(tree);
}

LONG ChangeRegistryRoot(RegistryRoot root, const RegistryChange& change) {
    std::lock_guard lock(g_mutex);
    g_last_problem.clear();
    if (g_selection.in_memory) {
        // Edited on a copy so that a change failing half-way leaves the tree untouched.
        RegistryKey edited = MemoryTree(root);
        bool changed = false;
        const LONG result = change(edited, changed);
        if (result == ERROR_SUCCESS && changed) MemoryTree(root) = std::move(edited);
        return result;
    }
    const std::string directory = CurrentDirectory();
    if (directory.empty()) return ERROR_REGISTRY_IO_FAILED;
    return ChangeRegistryFile(directory, root, change, g_last_problem);
}

}  // namespace kelm::platform
