// Daemon settings from the DEVICE_ keys, and the identity fallbacks.
#include "feature_harness.h"
#include "platform/identity.h"
#include "platform/log.h"

namespace {

class DeviceInfo : public FeatureHarness {
 protected:
  void SetUp() override {
    FeatureHarness::SetUp();
    reset_identity_cache();
  }
  void TearDown() override {
    FeatureHarness::TearDown();
    reset_identity_cache();
  }
  void get_info() {
    __udp_client_get_device_info(config_.get(), s.serial, s.model, s.variant, s.firmware, &log_enable,
                                 &s.keepalive_interval, &s.disconnect_timeout, &log_path, &log_file_size,
                                 &log_file_count, &s.black_list_size, &s.interface_update_file);
  }
  daemon_settings s;
  std::string log_path = "/tmp/udp_client.log";
};

TEST_F(DeviceInfo, NumbersBelowOneFallBackToDefaults) {
  const struct {
    const char* value;
    int32_t keepalive, disconnect, black_list;
    int16_t files;
  } cases[] = {
      {"0", 25, 70, 10, 4},      {"-5", 25, 70, 10, 4},                {"abc", 25, 70, 10, 4},
      {"  42x", 42, 42, 42, 42}, {"65536", 65536, 65536, 65536, 4},  // 16 bits: 0 -> 4
      {"65537", 65537, 65537, 65537, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    std::string v = c.value;
    configure("DEVICE_KEEPALIVE_INTERVAL=" + v + "\nDEVICE_DISCONNECT_TIMEOUT=" + v + "\nDEVICE_BLACK_LIST_SIZE=" + v +
              "\nDEVICE_LOG_NUM_FILE=" + v + "\n");
    s.keepalive_interval = s.disconnect_timeout = s.black_list_size = 1;
    get_info();
    EXPECT_EQ((std::vector<int32_t>{s.keepalive_interval, s.disconnect_timeout, s.black_list_size, log_file_count}),
              (std::vector<int32_t>{c.keepalive, c.disconnect, c.black_list, c.files}));
  }
}

TEST_F(DeviceInfo, UnsetKeysKeepPreviousCycleValues) {
  configure("DEVICE_LOG_PATH=/var/log/first.log\nDEVICE_LOG_ENABLE=0\nDEVICE_LOG_FILE_SIZE=100\n"
            "DEVICE_INTERFACE_UPDATE=/tmp/if.up\nDEVICE_KEEPALIVE_INTERVAL=30\n");
  get_info();
  EXPECT_EQ(log_enable.load(), 0);
  configure("DEVICE_LOG_PATH=\"\"\n");  // an empty value counts as not set
  log_enable.store(1);
  get_info();
  EXPECT_EQ(log_path, "/var/log/first.log");
  EXPECT_EQ(log_enable.load(), 1);
  EXPECT_EQ(log_file_size.load(), 100u);
  EXPECT_EQ(s.keepalive_interval, 30);
  EXPECT_EQ(s.interface_update_file, "/tmp/if.up");
}

TEST_F(DeviceInfo, IdentityFromConfigurationCutToFieldSizes) {
  configure("DEVICE_SERIAL=1234-5678-ABCD\nDEVICE_MODEL=ABCDEFGHIJK\nDEVICE_VARIANT=EU\n"
            "DEVICE_FIRMWARE=10.20.30-build7\n");
  get_info();
  EXPECT_EQ((std::vector<std::string>{s.serial, s.model, s.variant, s.firmware}),
            (std::vector<std::string>{"12345678ABCD", "ABCDEFGH", "EU", "10.20.30-bu"}));  // serial packed
  reset_identity_cache();  // without the keys, the device's files
  write("etc/model", "RT200\n");
  write("etc/serial.number", "AAAA-BBBB-CCCC\n");
  configure("");
  get_info();
  EXPECT_EQ(std::string(s.serial) + " " + s.model, "AAAABBBBCCCC RT200");
}

}  // namespace
