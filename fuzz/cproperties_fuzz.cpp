// Feeds arbitrary bytes to the configuration store, as a configuration file and as a list
// file, then runs every getter and list query on each name that the input defined.
//
// Input: the first byte chooses where the rest is cut; the first part is loaded as the
// configuration, the second is written to a list file that the property "fuzz.list" names
// and is also loaded over the same store as a second configuration stream.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vfw/cproperties.h"

namespace {

std::string listPath() {
    static std::string path;
    if (path.empty()) {
        // In memory when the machine has /dev/shm: the file is rewritten for every input.
        std::string pattern = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        pattern += "/cproperties-fuzz-XXXXXX";
        const char* dir = ::mkdtemp(&pattern[0]);
        path = std::string(dir != nullptr ? dir : "/tmp") + "/list";
    }
    return path;
}

void writeListFile(const uint8_t* data, size_t size) {
    std::string path = listPath();
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        return;
    }
    std::fwrite(data, 1, size, out);
    std::fclose(out);
    ::chmod(path.c_str(), 0644);
}

int loadBytes(vfw::Props* props, const uint8_t* data, size_t size) {
    static char empty[] = "\n";
    FILE* stream =
        size > 0 ? ::fmemopen(const_cast<uint8_t*>(data), size, "r") : ::fmemopen(empty, 1, "r");
    if (stream == nullptr) {
        return -12;
    }
    int rc = props->loadFromStream(props, stream, 1);
    std::fclose(stream);
    return rc;
}

void exerciseList(vfw::Props* p, const vfw::ValueList* list) {
    if (list == nullptr) {
        return;
    }
    int count = 0;
    for (const vfw::ValueNode* n = list->next(list, nullptr); n != nullptr;
         n = list->next(list, n)) {
        for (int i = 0; i < n->count; ++i) {
            if (n->strings[i] != nullptr) {
                count += static_cast<int>(std::strlen(n->strings[i]) > 0);
            }
        }
    }
    if (list->size(list) != list->countNodes(const_cast<vfw::ValueList*>(list))) {
        std::abort();
    }
    (void)list->last(list);
    int err = 0;
    (void)p->valueListToString(p, list, 0, &err);
    (void)count;
}

void exerciseName(vfw::Props* p, const char* name) {
    int err = 0;
    const char* value = p->getProperty(p, name, &err);
    (void)p->getPropertyWithDefault(p, name, "default", &err);
    (void)p->getInt(p, name, 7, &err);
    (void)p->getUInt(p, name, 7, &err);
    (void)p->getBool(p, name, true, &err);
    (void)p->getTime(p, name, 30, 'm', &err);
    (void)p->getTime(p, name, 30, 'q', &err);
    (void)p->getTime(p, name, 2147483647, 'y', &err);
    const vfw::ValueList* list = p->getValueList(p, name, "a, b", &err);
    exerciseList(p, list);
    if (list != nullptr && list->first != nullptr) {
        (void)p->isStringInPropertyList(p, name, list->first->strings[0], nullptr, &err);
    }
    if (p->getValueList(p, name, nullptr, &err) != list) {
        std::abort();  // the second query must find the cached list
    }
    if (value != nullptr) {
        char* copy = ::strdup(value);
        if (copy != nullptr && p->expandEnvVariables(p, &copy) == 0) {
            (void)p->unExpandEnvVariables(p, &copy);
        }
        std::free(copy);
        (void)p->release(p, value);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    size_t cut = 1 + (size - 1) * data[0] / 255;
    const uint8_t* config = data + 1;
    size_t configSize = cut - 1;
    const uint8_t* listBytes = data + cut;
    size_t listSize = size - cut;
    writeListFile(listBytes, listSize);

    vfw::Props* p = nullptr;
    if (vfw::newProps(&p, 1, 0) != 0) {
        return 0;
    }
    (void)loadBytes(p, config, configSize);
    p->setProperty(p, "fuzz.list", ("file:" + listPath()).c_str());

    std::vector<std::string> names;
    int err = 0;
    const vfw::ValueList* all = p->getPropertyList(p, nullptr, &err);
    for (const vfw::ValueNode* n = all != nullptr ? all->next(all, nullptr) : nullptr; n != nullptr;
         n = all->next(all, n)) {
        names.push_back(n->strings[0]);
    }
    for (const std::string& name : names) {
        exerciseName(p, name.c_str());
    }
    if (!names.empty()) {
        const vfw::ValueList* first = p->getValueList(p, names[0].c_str(), nullptr, &err);
        p->setValueList(p, "fuzz.copy", first, 0);
        exerciseList(p, p->getPropertyList(p, names[0].substr(0, 1).c_str(), &err));
        p->delPropertySet(p, names[0].substr(0, 2).c_str(), &err);
        p->deleteProperty(p, names.back().c_str(), &err);
        p->setPropertyInternal(p, names[0].c_str(), "changed");
    }
    // The list bytes as configuration lines over the same store: replacements in place.
    (void)loadBytes(p, listBytes, listSize);
    for (size_t i = 0; i < names.size() && i < 4; ++i) {
        exerciseName(p, names[i].c_str());
    }
    p->dump(p, nullptr);
    (void)p->size(p);
    vfw::freeProps(p);
    return 0;
}
