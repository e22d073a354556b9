// The libtorch.so of a CPU deployment. A compiled model part names libtorch.so, whose copy
// in the PyTorch wheel only pulls in libtorch_cpu.so and libtorch_cuda.so (with the CUDA
// libraries, over a gigabyte); the parts use nothing of the latter. This library stands in for
// it, pulling in libtorch_cpu.so alone.
