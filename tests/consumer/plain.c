/* A C source on the consumer's target: it must be compiled without orv's C++ flags. */
int orv_consumer_plain_c(void) { return 0; }
