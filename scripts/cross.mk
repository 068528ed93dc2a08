# Builds the core with the native test driver, and optionally the extension
# module, for one target. scripts/cross.sh runs it once per target; see there.
#
# Variables: CXX (the compiler command), OUT (output folder), TARGET_FLAGS,
# ZLIB_CFLAGS, ZLIB_LIBS, EXE (driver file name), MODULE (module file name,
# empty for none), MODULE_CFLAGS, MODULE_LDFLAGS.

CORE_SRCS := $(sort $(wildcard src/platform/*.cpp src/error/*.cpp src/zip/*.cpp \
  src/header/*.cpp src/channels/*.cpp src/data_file/*.cpp))
BINDING_SRCS := $(sort $(wildcard src/binding/*.cpp))
DRIVER_SRCS := tests/native/driver.cpp

WARNINGS := -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Werror
CXXFLAGS := -std=c++20 -O2 -ffp-contract=off -fno-fast-math -fvisibility=hidden -fPIC \
  $(WARNINGS) -Isrc $(ZLIB_CFLAGS) $(TARGET_FLAGS)

obj = $(patsubst %.cpp,$(OUT)/obj/%.o,$(1))
CORE_OBJS := $(call obj,$(CORE_SRCS))
BINDING_OBJS := $(call obj,$(BINDING_SRCS))
DRIVER_OBJS := $(call obj,$(DRIVER_SRCS))

all: $(OUT)/$(EXE) $(if $(MODULE),$(OUT)/$(MODULE))

$(OUT)/$(EXE): $(CORE_OBJS) $(DRIVER_OBJS)
	$(CXX) $(TARGET_FLAGS) -o $@ $^ $(ZLIB_LIBS)

$(OUT)/$(MODULE): $(CORE_OBJS) $(BINDING_OBJS)
	$(CXX) $(TARGET_FLAGS) -shared -o $@ $^ $(ZLIB_LIBS) $(MODULE_LDFLAGS)

$(BINDING_OBJS): CXXFLAGS += $(MODULE_CFLAGS)

$(OUT)/obj/%.o: %.cpp
	@mkdir -p $(dir $@)
	$(CXX) $(CXXFLAGS) -MMD -MP -c $< -o $@

-include $(CORE_OBJS:.o=.d) $(BINDING_OBJS:.o=.d) $(DRIVER_OBJS:.o=.d)

.PHONY: all
