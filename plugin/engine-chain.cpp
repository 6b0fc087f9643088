#include "engine-chain.h"

#include "abi-export.h"

namespace tessolux {

using error_handling::check_result;

com_ptr<zorvane::IFilterChain> create_chain(zorvane::IProcessor* root) {
    com_ptr<zorvane::IFilterChain> chain;
    check_result(root, root->create_chain(chain.put()));
    return chain;
}

com_ptr<zorvane::IFilter> add_node(const com_ptr<zorvane::IFilterChain>& chain, const std::wstring& name,
                                   IUnknown* shared) {
    const string_owner text(name);
    com_ptr<zorvane::IFilter> node;
    check_result(chain, chain->add_node(text.get(), shared, node.put()));
    return node;
}

void set_property(const com_ptr<zorvane::IFilter>& node, const wchar_t* name, const std::wstring& value) {
    const string_owner name_text(std::wstring{name});
    const string_owner value_text(value);
    check_result(node, node->set_property(name_text.get(), value_text.get()));
}

com_ptr<zorvane::IFilter> add_child(const com_ptr<zorvane::IFilter>& node, const std::wstring& name) {
    const string_owner text(name);
    com_ptr<zorvane::IFilter> child;
    check_result(node, node->add_child(text.get(), child.put()));
    return child;
}

void commit(const com_ptr<zorvane::IFilter>& node) {
    check_result(node, node->commit());
}

com_ptr<zorvane::IOperation> build(const com_ptr<zorvane::IFilterChain>& chain) {
    com_ptr<zorvane::IOperation> operation;
    check_result(chain, chain->build(operation.put()));
    return operation;
}

com_ptr<zorvane::IImageData> image_data_of(zorvane::IImage* image) {
    com_ptr<zorvane::IImageData> data;
    // A failed query sets no error object: it is reported as the interface not being there.
    if (FAILED(image->QueryInterface(__uuidof(zorvane::IImageData), data.put_void())) || !data)
        check_result<zorvane::IImageData>(nullptr, E_NOTIMPL);
    return data;
}

} // namespace tessolux
