#include "ProbeConsumer.h"

#include "sns_client.pb.h"

std::string ProbeSerializeDisableRequest() {
    sns_client_request_msg msg;
    msg.mutable_suid()->set_suid_low(0);
    msg.mutable_suid()->set_suid_high(0);
    msg.set_msg_id(SNS_CLIENT_MSGID_SNS_CLIENT_DISABLE_REQ);
    msg.mutable_susp_config()->set_client_proc_type(SNS_STD_CLIENT_PROCESSOR_APSS);
    msg.mutable_susp_config()->set_delivery_type(SNS_CLIENT_DELIVERY_WAKEUP);
    msg.mutable_request();
    return msg.SerializeAsString();
}
