#pragma once

/// @file
/// The whole public API in one include: the messaging classes, the STOMP client and
/// frame, the logger and the exceptions.

/// @namespace vq
/// Everything of the library: start at TVQJMSConnection::CreateConnection.

#include <vqstomp/VQConnectionOptions.h>
#include <vqstomp/VQConsumerID.h>
#include <vqstomp/VQDestination.h>
#include <vqstomp/VQExceptions.h>
#include <vqstomp/VQJMSBytesMessage.h>
#include <vqstomp/VQJMSClient.h>
#include <vqstomp/VQJMSConnection.h>
#include <vqstomp/VQJMSInterfaces.h>
#include <vqstomp/VQJMSMessage.h>
#include <vqstomp/VQJMSTextMessage.h>
#include <vqstomp/VQLogger.h>
#include <vqstomp/VQMessageConsumer.h>
#include <vqstomp/VQMessageProducer.h>
#include <vqstomp/VQQueue.h>
#include <vqstomp/VQStompConnection.h>
#include <vqstomp/VQStompCustomClient.h>
#include <vqstomp/VQStompFrame.h>
#include <vqstomp/VQStompInterfaces.h>
#include <vqstomp/VQStompTypes.h>
#include <vqstomp/VQSupportInterfaces.h>
#include <vqstomp/VQTLSOptions.h>
#include <vqstomp/VQTopic.h>
