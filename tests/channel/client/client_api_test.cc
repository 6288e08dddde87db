// The client's API before it runs: parameters, creation without
// authorisation, the GPS record.
#include <arpa/inet.h>

#include <cmath>

#include "channel/byte_order.h"
#include "tests/channel/client/client_fixture.h"

namespace vt_test {
namespace {

using ClientApiTest = ClientTest;

TEST_F(ClientApiTest, ParametersAreTakenOnlyInTheirRanges) {
  start_client(false);
  const struct { int id; uint32_t value; int result; } cases[] = {
      {5, 4, 0},  {5, 51, 0},  {5, 5, 1},   {5, 50, 1},     {6, 69, 0},      {6, 601, 0},
      {6, 70, 1}, {6, 600, 1}, {2, 0, 0},   {2, 65535, 0},  {2, 1, 1},       {2, 65534, 1},
      {8, 0, 0},  {8, 2, 0},   {8, 1, 1},   {99, 100000, 0}, {99, 0, 1},     {99, 99999, 1},
      {3, 7, 1},  {4, 1, 0},   {0, 1, 0},   {100, 1, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(vantor_udp_client_set_param(client, c.id, &c.value), c.result) << c.id << " " << c.value;
  EXPECT_EQ(client->keepalive_interval, 50u);
  EXPECT_EQ(client->disconnect_timeout, 600u);
  EXPECT_EQ(ntohs(client->server_addr.sin_port), 65534);
  EXPECT_EQ(client->statistics_interval, 99999u);
  EXPECT_EQ(client->reset_sequence, 7u);
  EXPECT_EQ(vantor_udp_client_set_param(client, 5, nullptr) + vantor_udp_client_set_param(nullptr, 5, &cases[0].value), 0);
  // An address that does not parse is taken but changes nothing.
  EXPECT_EQ(vantor_udp_client_set_param(client, 1, "10.1.2.3"), 1);
  EXPECT_EQ(vantor_udp_client_set_param(client, 1, "not an address"), 1);
  EXPECT_EQ(client->server_addr.sin_addr.s_addr, inet_addr("10.1.2.3"));
}

TEST_F(ClientApiTest, FailedAuthorisationFallsBackToTheDefaultHost) {
  setenv("PATH", sandbox.path("/bin").c_str(), 1);  // no fetch tool: authorisation fails at once
  client = create_vantor_udp_client(kSerial, "VX200-LONGER", "EU", "2.1.0", 30, "localhost", "udps/register",
                                    capture_log, 10, "");
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(client->session_key, nullptr);
  EXPECT_EQ(ntohs(client->server_addr.sin_port), 11753);
  EXPECT_EQ(client->server_addr.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(count_log("Get AUTH Fail"), 1u);
  EXPECT_STREQ(client->model, "VX200-LO") << "cut to 8 characters";
  EXPECT_EQ(std::string(client->interface_file), sandbox.path("/tmp/interface.using"));
}

TEST_F(ClientApiTest, GpsReportIsQueuedAsAnUnansweredItemWithClampedMillionths) {
  start_client(false);
  EXPECT_EQ(vantor_udp_client_submit_gps(client, 0, 1, 1e300, -1e300), 0);
  EXPECT_EQ(vantor_udp_client_submit_gps(client, 0, 1, std::nan(""), 0), 0);
  EXPECT_EQ(vantor_udp_client_submit_gps(nullptr, 1, 1, 0, 0), -1);
  ASSERT_EQ(delivery_agenda_get_num_item(&client->agenda), 2u);
  agenda_item *clamped = nullptr, *nan = nullptr;
  ASSERT_EQ(delivery_agenda_get_item(&client->agenda, &clamped, 0) + delivery_agenda_get_item(&client->agenda, &nan, 1), 0);
  EXPECT_EQ(clamped->payload_length, 13u);
  EXPECT_EQ(clamped->expires, 0u);
  EXPECT_EQ(static_cast<int32_t>(vt_load_be32(clamped->payload + 4)), INT32_MAX);
  EXPECT_EQ(static_cast<int32_t>(vt_load_be32(clamped->payload + 8)), INT32_MIN);
  EXPECT_EQ(vt_load_be32(nan->payload + 4), 0u) << "not a number becomes 0";
}

}  // namespace
}  // namespace vt_test
