# Builds the core with the native test driver, and optionally the extension
# module, for one target. scripts/cross.sh runs it once per target; see there.
#
# Variables: CXX (the compiler command), OUT (output folder), TARGET_FLAGS,
# ZLIB_CFLAGS, ZLIB_LIBS, EXE (driver file name), MODULE and READER_MODULE
# (file names of zu_data_reader and zudata._reader, empty for none),
# MODULE_CFLAGS, MODULE_LDFLAGS, MODULE_EXTRA_SRCS (linked into both modules
# only: scripts/cross/private_new_delete.cpp for macOS).

CORE_SRCS := $(sort $(wildcard src/platform/*.cpp src/error/*.cpp src/zip/*.cpp \
  src/header/*.cpp src/channels/*.cpp src/data_file/*.cpp))
# Binding code both extension modules share, as CMakeLists.txt lists it.
COMMON_BINDING_SRCS := src/binding/args.cpp src/binding/errors.cpp src/binding/array.cpp \
  src/binding/to_python.cpp src/binding/module_init.cpp
BINDING_SRCS := $(sort $(wildcard src/binding/*.cpp))
READER_SRCS := $(sort $(wildcard src/binding/reader/*.cpp)) $(COMMON_BINDING_SRCS)
DRIVER_SRCS := tests/native/driver.cpp

# The one version, from pyproject.toml, as the CMake build passes it.
ZU_VERSION := $(shell sed -n 's/^version = "\(.*\)"$$/\1/p' pyproject.toml | head -n 1)

WARNINGS := -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion -Werror
CXXFLAGS := -std=c++20 -O2 -ffp-contract=off -fno-fast-math -fvisibility=hidden -fPIC \
  $(WARNINGS) -Isrc $(ZLIB_CFLAGS) $(TARGET_FLAGS)

obj = $(patsubst %.cpp,$(OUT)/obj/%.o,$(1))
CORE_OBJS := $(call obj,$(CORE_SRCS))
BINDING_OBJS := $(call obj,$(BINDING_SRCS))
READER_OBJS := $(call obj,$(READER_SRCS))
DRIVER_OBJS := $(call obj,$(DRIVER_SRCS))
MODULE_EXTRA_OBJS := $(call obj,$(MODULE_EXTRA_SRCS))

all: $(OUT)/$(EXE) $(if $(MODULE),$(OUT)/$(MODULE)) $(if $(READER_MODULE),$(OUT)/$(READER_MODULE))

$(OUT)/$(EXE): $(CORE_OBJS) $(DRIVER_OBJS)
	$(CXX) $(TARGET_FLAGS) -o $@ $^ $(ZLIB_LIBS)

ifneq ($(MODULE),)
$(OUT)/$(MODULE): $(CORE_OBJS) $(BINDING_OBJS) $(MODULE_EXTRA_OBJS)
	$(CXX) $(TARGET_FLAGS) -shared -o $@ $^ $(ZLIB_LIBS) $(MODULE_LDFLAGS)
endif

ifneq ($(READER_MODULE),)
$(OUT)/$(READER_MODULE): $(CORE_OBJS) $(READER_OBJS) $(MODULE_EXTRA_OBJS)
	$(CXX) $(TARGET_FLAGS) -shared -o $@ $^ $(ZLIB_LIBS) $(MODULE_LDFLAGS)
endif

$(BINDING_OBJS) $(READER_OBJS): CXXFLAGS += $(MODULE_CFLAGS) -DZU_VERSION='"$(ZU_VERSION)"'
# Hidden definitions of the global operator new and delete (see the file).
$(MODULE_EXTRA_OBJS): CXXFLAGS += -fvisibility-global-new-delete=force-hidden

$(OUT)/obj/%.o: %.cpp
	@mkdir -p $(dir $@)
	$(CXX) $(CXXFLAGS) -MMD -MP -c $< -o $@

-include $(CORE_OBJS:.o=.d) $(BINDING_OBJS:.o=.d) $(READER_OBJS:.o=.d) $(DRIVER_OBJS:.o=.d) \
  $(MODULE_EXTRA_OBJS:.o=.d)

.PHONY: all
# A link or compile cut short must not leave a file that looks up to date.
.DELETE_ON_ERROR:
