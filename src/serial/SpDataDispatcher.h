// Base of components that carry a data stream: a write, an open and a close.
#pragma once

#include "serial/Component.h"

namespace kt::serial {

class TSpDataDispConnComponent : public Component {
public:
    virtual void Write(const char* buffer, int count) = 0;
    virtual void Close() {}
    virtual void Open() {}
};

}  // namespace kt::serial
