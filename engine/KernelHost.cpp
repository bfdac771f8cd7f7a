#include "engine/KernelHost.h"

CKernelHost::CKernelHost() { m_kernel.SetObserver(this); }

// Detached first: the kernel's destructor then stops the threads without calling into
// an object that is being taken apart.
CKernelHost::~CKernelHost() { m_kernel.SetObserver(nullptr); }
