// Building the engine's filter chains: each call is one engine call followed by its result check, so a
// chain reads as the list of nodes and texts it sends.
#pragma once

#include <string>

#include "image-processor.h"

namespace tessolux {

com_ptr<zorvane::IFilterChain> create_chain(zorvane::IProcessor* root);
// shared: the engine object that nodes keeping state between runs share, or null.
com_ptr<zorvane::IFilter> add_node(const com_ptr<zorvane::IFilterChain>& chain, const std::wstring& name,
                                   IUnknown* shared = nullptr);
void set_property(const com_ptr<zorvane::IFilter>& node, const wchar_t* name, const std::wstring& value);
com_ptr<zorvane::IFilter> add_child(const com_ptr<zorvane::IFilter>& node, const std::wstring& name);
void commit(const com_ptr<zorvane::IFilter>& node);
com_ptr<zorvane::IOperation> build(const com_ptr<zorvane::IFilterChain>& chain);

// The image's pixel access; an image without it fails as the interface not being there.
com_ptr<zorvane::IImageData> image_data_of(zorvane::IImage* image);

} // namespace tessolux
