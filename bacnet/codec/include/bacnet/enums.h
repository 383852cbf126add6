#pragma once
// The protocol's numbers by their standard names: object types, property
// identifiers, the PDU types and their header bits, the confirmed and
// unconfirmed service choices, the BVLC functions and result codes, the
// network-layer message types, reject and abort reasons, error classes and
// codes, segmentation, event and fault types, the choices of the constructed
// datatypes, and the application tag numbers. Code that switches on
// or tabulates one of these values uses the names, never the bare numbers.
//
// The enumerations are unscoped with a fixed underlying type, so that they
// mix with the integers that carry them on the wire and in the records.

#include <cstdint>

// BACnetObjectType (10 bits of an object identifier).
enum BACnetObjectType : uint16_t {
    kObjAnalogInput = 0,
    kObjAnalogOutput = 1,
    kObjAnalogValue = 2,
    kObjBinaryInput = 3,
    kObjBinaryOutput = 4,
    kObjBinaryValue = 5,
    kObjCalendar = 6,
    kObjCommand = 7,
    kObjDevice = 8,
    kObjEventEnrollment = 9,
    kObjFile = 10,
    kObjGroup = 11,
    kObjLoop = 12,
    kObjMultiStateInput = 13,
    kObjMultiStateOutput = 14,
    kObjNotificationClass = 15,
    kObjProgram = 16,
    kObjSchedule = 17,
    kObjAveraging = 18,
    kObjMultiStateValue = 19,
    kObjTrendLog = 20,
    kObjLifeSafetyPoint = 21,
    kObjLifeSafetyZone = 22,
    kObjAccumulator = 23,
    kObjPulseConverter = 24,
    kObjEventLog = 25,
    kObjGlobalGroup = 26,
    kObjTrendLogMultiple = 27,
    kObjLoadControl = 28,
    kObjStructuredView = 29,
    kObjAccessDoor = 30,
    kObjTimer = 31,
    kObjAccessCredential = 32,
    kObjAccessPoint = 33,
    kObjAccessRights = 34,
    kObjAccessUser = 35,
    kObjAccessZone = 36,
    kObjCredentialDataInput = 37,
    kObjNetworkSecurity = 38,
    kObjBitstringValue = 39,
    kObjCharacterstringValue = 40,
    kObjDatePatternValue = 41,
    kObjDateValue = 42,
    kObjDatetimePatternValue = 43,
    kObjDatetimeValue = 44,
    kObjIntegerValue = 45,
    kObjLargeAnalogValue = 46,
    kObjOctetstringValue = 47,
    kObjPositiveIntegerValue = 48,
    kObjTimePatternValue = 49,
    kObjTimeValue = 50,
    kObjNotificationForwarder = 51,
    kObjAlertEnrollment = 52,
    kObjChannel = 53,
    kObjLightingOutput = 54,
    kObjBinaryLightingOutput = 55,
    kObjNetworkPort = 56,
    kObjElevatorGroup = 57,
    kObjEscalator = 58,
    kObjLift = 59,
    kObjStaging = 60,
    kObjAuditLog = 61,
    kObjAuditReporter = 62,
    kObjColor = 63,
    kObjColorTemperature = 64,
};

// BACnetPropertyIdentifier. The identifiers missing below were withdrawn or
// never assigned.
enum BACnetPropertyIdentifier : uint32_t {
    kPropAckedTransitions = 0,
    kPropAckRequired = 1,
    kPropAction = 2,
    kPropActionText = 3,
    kPropActiveText = 4,
    kPropActiveVtSessions = 5,
    kPropAlarmValue = 6,
    kPropAlarmValues = 7,
    kPropAll = 8,
    kPropAllWritesSuccessful = 9,
    kPropApduSegmentTimeout = 10,
    kPropApduTimeout = 11,
    kPropApplicationSoftwareVersion = 12,
    kPropArchive = 13,
    kPropBias = 14,
    kPropChangeOfStateCount = 15,
    kPropChangeOfStateTime = 16,
    kPropNotificationClass = 17,
    kPropControlledVariableReference = 19,
    kPropControlledVariableUnits = 20,
    kPropControlledVariableValue = 21,
    kPropCovIncrement = 22,
    kPropDateList = 23,
    kPropDaylightSavingsStatus = 24,
    kPropDeadband = 25,
    kPropDerivativeConstant = 26,
    kPropDerivativeConstantUnits = 27,
    kPropDescription = 28,
    kPropDescriptionOfHalt = 29,
    kPropDeviceAddressBinding = 30,
    kPropDeviceType = 31,
    kPropEffectivePeriod = 32,
    kPropElapsedActiveTime = 33,
    kPropErrorLimit = 34,
    kPropEventEnable = 35,
    kPropEventState = 36,
    kPropEventType = 37,
    kPropExceptionSchedule = 38,
    kPropFaultValues = 39,
    kPropFeedbackValue = 40,
    kPropFileAccessMethod = 41,
    kPropFileSize = 42,
    kPropFileType = 43,
    kPropFirmwareRevision = 44,
    kPropHighLimit = 45,
    kPropInactiveText = 46,
    kPropInProcess = 47,
    kPropInstanceOf = 48,
    kPropIntegralConstant = 49,
    kPropIntegralConstantUnits = 50,
    kPropIssueConfirmedNotifications = 51,
    kPropLimitEnable = 52,
    kPropListOfGroupMembers = 53,
    kPropListOfObjectPropertyReferences = 54,
    kPropListOfSessionKeys = 55,
    kPropLocalDate = 56,
    kPropLocalTime = 57,
    kPropLocation = 58,
    kPropLowLimit = 59,
    kPropManipulatedVariableReference = 60,
    kPropMaximumOutput = 61,
    kPropMaxApduLengthAccepted = 62,
    kPropMaxInfoFrames = 63,
    kPropMaxMaster = 64,
    kPropMaxPresValue = 65,
    kPropMinimumOffTime = 66,
    kPropMinimumOnTime = 67,
    kPropMinimumOutput = 68,
    kPropMinPresValue = 69,
    kPropModelName = 70,
    kPropModificationDate = 71,
    kPropNotifyType = 72,
    kPropNumberOfApduRetries = 73,
    kPropNumberOfStates = 74,
    kPropObjectIdentifier = 75,
    kPropObjectList = 76,
    kPropObjectName = 77,
    kPropObjectPropertyReference = 78,
    kPropObjectType = 79,
    kPropOptional = 80,
    kPropOutOfService = 81,
    kPropOutputUnits = 82,
    kPropEventParameters = 83,
    kPropPolarity = 84,
    kPropPresentValue = 85,
    kPropPriority = 86,
    kPropPriorityArray = 87,
    kPropPriorityForWriting = 88,
    kPropProcessIdentifier = 89,
    kPropProgramChange = 90,
    kPropProgramLocation = 91,
    kPropProgramState = 92,
    kPropProportionalConstant = 93,
    kPropProportionalConstantUnits = 94,
    kPropProtocolConformanceClass = 95,
    kPropProtocolObjectTypesSupported = 96,
    kPropProtocolServicesSupported = 97,
    kPropProtocolVersion = 98,
    kPropReadOnly = 99,
    kPropReasonForHalt = 100,
    kPropRecipient = 101,
    kPropRecipientList = 102,
    kPropReliability = 103,
    kPropRelinquishDefault = 104,
    kPropRequired = 105,
    kPropResolution = 106,
    kPropSegmentationSupported = 107,
    kPropSetpoint = 108,
    kPropSetpointReference = 109,
    kPropStateText = 110,
    kPropStatusFlags = 111,
    kPropSystemStatus = 112,
    kPropTimeDelay = 113,
    kPropTimeOfActiveTimeReset = 114,
    kPropTimeOfStateCountReset = 115,
    kPropTimeSynchronizationRecipients = 116,
    kPropUnits = 117,
    kPropUpdateInterval = 118,
    kPropUtcOffset = 119,
    kPropVendorIdentifier = 120,
    kPropVendorName = 121,
    kPropVtClassesSupported = 122,
    kPropWeeklySchedule = 123,
    kPropAttemptedSamples = 124,
    kPropAverageValue = 125,
    kPropBufferSize = 126,
    kPropClientCovIncrement = 127,
    kPropCovResubscriptionInterval = 128,
    kPropCurrentNotifyTime = 129,
    kPropEventTimeStamps = 130,
    kPropLogBuffer = 131,
    kPropLogDeviceObjectProperty = 132,
    kPropEnable = 133,
    kPropLogInterval = 134,
    kPropMaximumValue = 135,
    kPropMinimumValue = 136,
    kPropNotificationThreshold = 137,
    kPropPreviousNotifyTime = 138,
    kPropProtocolRevision = 139,
    kPropRecordsSinceNotification = 140,
    kPropRecordCount = 141,
    kPropStartTime = 142,
    kPropStopTime = 143,
    kPropStopWhenFull = 144,
    kPropTotalRecordCount = 145,
    kPropValidSamples = 146,
    kPropWindowInterval = 147,
    kPropWindowSamples = 148,
    kPropMaximumValueTimestamp = 149,
    kPropMinimumValueTimestamp = 150,
    kPropVarianceValue = 151,
    kPropActiveCovSubscriptions = 152,
    kPropBackupFailureTimeout = 153,
    kPropConfigurationFiles = 154,
    kPropDatabaseRevision = 155,
    kPropDirectReading = 156,
    kPropLastRestoreTime = 157,
    kPropMaintenanceRequired = 158,
    kPropMemberOf = 159,
    kPropMode = 160,
    kPropOperationExpected = 161,
    kPropSetting = 162,
    kPropSilenced = 163,
    kPropTrackingValue = 164,
    kPropZoneMembers = 165,
    kPropLifeSafetyAlarmValues = 166,
    kPropMaxSegmentsAccepted = 167,
    kPropProfileName = 168,
    kPropAutoSlaveDiscovery = 169,
    kPropManualSlaveAddressBinding = 170,
    kPropSlaveAddressBinding = 171,
    kPropSlaveProxyEnable = 172,
    kPropLastNotifyRecord = 173,
    kPropScheduleDefault = 174,
    kPropAcceptedModes = 175,
    kPropAdjustValue = 176,
    kPropCount = 177,
    kPropCountBeforeChange = 178,
    kPropCountChangeTime = 179,
    kPropCovPeriod = 180,
    kPropInputReference = 181,
    kPropLimitMonitoringInterval = 182,
    kPropLoggingObject = 183,
    kPropLoggingRecord = 184,
    kPropPrescale = 185,
    kPropPulseRate = 186,
    kPropScale = 187,
    kPropScaleFactor = 188,
    kPropUpdateTime = 189,
    kPropValueBeforeChange = 190,
    kPropValueSet = 191,
    kPropValueChangeTime = 192,
    kPropAlignIntervals = 193,
    kPropIntervalOffset = 195,
    kPropLastRestartReason = 196,
    kPropLoggingType = 197,
    kPropRestartNotificationRecipients = 202,
    kPropTimeOfDeviceRestart = 203,
    kPropTimeSynchronizationInterval = 204,
    kPropTrigger = 205,
    kPropUtcTimeSynchronizationRecipients = 206,
    kPropNodeSubtype = 207,
    kPropNodeType = 208,
    kPropStructuredObjectList = 209,
    kPropSubordinateAnnotations = 210,
    kPropSubordinateList = 211,
    kPropActualShedLevel = 212,
    kPropDutyWindow = 213,
    kPropExpectedShedLevel = 214,
    kPropFullDutyBaseline = 215,
    kPropRequestedShedLevel = 218,
    kPropShedDuration = 219,
    kPropShedLevelDescriptions = 220,
    kPropShedLevels = 221,
    kPropStateDescription = 222,
    kPropDoorAlarmState = 226,
    kPropDoorExtendedPulseTime = 227,
    kPropDoorMembers = 228,
    kPropDoorOpenTooLongTime = 229,
    kPropDoorPulseTime = 230,
    kPropDoorStatus = 231,
    kPropDoorUnlockDelayTime = 232,
    kPropLockStatus = 233,
    kPropMaskedAlarmValues = 234,
    kPropSecuredStatus = 235,
    kPropAbsenteeLimit = 244,
    kPropAccessAlarmEvents = 245,
    kPropAccessDoors = 246,
    kPropAccessEvent = 247,
    kPropAccessEventAuthenticationFactor = 248,
    kPropAccessEventCredential = 249,
    kPropAccessEventTime = 250,
    kPropAccessTransactionEvents = 251,
    kPropAccompaniment = 252,
    kPropAccompanimentTime = 253,
    kPropActivationTime = 254,
    kPropActiveAuthenticationPolicy = 255,
    kPropAssignedAccessRights = 256,
    kPropAuthenticationFactors = 257,
    kPropAuthenticationPolicyList = 258,
    kPropAuthenticationPolicyNames = 259,
    kPropAuthenticationStatus = 260,
    kPropAuthorizationMode = 261,
    kPropBelongsTo = 262,
    kPropCredentialDisable = 263,
    kPropCredentialStatus = 264,
    kPropCredentials = 265,
    kPropCredentialsInZone = 266,
    kPropDaysRemaining = 267,
    kPropEntryPoints = 268,
    kPropExitPoints = 269,
    kPropExpirationTime = 270,
    kPropExtendedTimeEnable = 271,
    kPropFailedAttemptEvents = 272,
    kPropFailedAttempts = 273,
    kPropFailedAttemptsTime = 274,
    kPropLastAccessEvent = 275,
    kPropLastAccessPoint = 276,
    kPropLastCredentialAdded = 277,
    kPropLastCredentialAddedTime = 278,
    kPropLastCredentialRemoved = 279,
    kPropLastCredentialRemovedTime = 280,
    kPropLastUseTime = 281,
    kPropLockout = 282,
    kPropLockoutRelinquishTime = 283,
    kPropMasterExemption = 284,
    kPropMaxFailedAttempts = 285,
    kPropMembers = 286,
    kPropMusterPoint = 287,
    kPropNegativeAccessRules = 288,
    kPropNumberOfAuthenticationPolicies = 289,
    kPropOccupancyCount = 290,
    kPropOccupancyCountAdjust = 291,
    kPropOccupancyCountEnable = 292,
    kPropOccupancyExemption = 293,
    kPropOccupancyLowerLimit = 294,
    kPropOccupancyLowerLimitEnforced = 295,
    kPropOccupancyState = 296,
    kPropOccupancyUpperLimit = 297,
    kPropOccupancyUpperLimitEnforced = 298,
    kPropPassbackExemption = 299,
    kPropPassbackMode = 300,
    kPropPassbackTimeout = 301,
    kPropPositiveAccessRules = 302,
    kPropReasonForDisable = 303,
    kPropSupportedFormats = 304,
    kPropSupportedFormatClasses = 305,
    kPropThreatAuthority = 306,
    kPropThreatLevel = 307,
    kPropTraceFlag = 308,
    kPropTransactionNotificationClass = 309,
    kPropUserExternalIdentifier = 310,
    kPropUserInformationReference = 311,
    kPropUserName = 317,
    kPropUserType = 318,
    kPropUsesRemaining = 319,
    kPropZoneFrom = 320,
    kPropZoneTo = 321,
    kPropAccessEventTag = 322,
    kPropGlobalIdentifier = 323,
    kPropVerificationTime = 326,
    kPropBaseDeviceSecurityPolicy = 327,
    kPropDistributionKeyRevision = 328,
    kPropDoNotHide = 329,
    kPropKeySets = 330,
    kPropLastKeyServer = 331,
    kPropNetworkAccessSecurityPolicies = 332,
    kPropPacketReorderTime = 333,
    kPropSecurityPduTimeout = 334,
    kPropSecurityTimeWindow = 335,
    kPropSupportedSecurityAlgorithms = 336,
    kPropUpdateKeySetTimeout = 337,
    kPropBackupAndRestoreState = 338,
    kPropBackupPreparationTime = 339,
    kPropRestoreCompletionTime = 340,
    kPropRestorePreparationTime = 341,
    kPropBitMask = 342,
    kPropBitText = 343,
    kPropIsUtc = 344,
    kPropGroupMembers = 345,
    kPropGroupMemberNames = 346,
    kPropMemberStatusFlags = 347,
    kPropRequestedUpdateInterval = 348,
    kPropCovuPeriod = 349,
    kPropCovuRecipients = 350,
    kPropEventMessageTexts = 351,
    kPropEventMessageTextsConfig = 352,
    kPropEventDetectionEnable = 353,
    kPropEventAlgorithmInhibit = 354,
    kPropEventAlgorithmInhibitRef = 355,
    kPropTimeDelayNormal = 356,
    kPropReliabilityEvaluationInhibit = 357,
    kPropFaultParameters = 358,
    kPropFaultType = 359,
    kPropLocalForwardingOnly = 360,
    kPropProcessIdentifierFilter = 361,
    kPropSubscribedRecipients = 362,
    kPropPortFilter = 363,
    kPropAuthorizationExemptions = 364,
    kPropAllowGroupDelayInhibit = 365,
    kPropChannelNumber = 366,
    kPropControlGroups = 367,
    kPropExecutionDelay = 368,
    kPropLastPriority = 369,
    kPropWriteStatus = 370,
    kPropPropertyList = 371,
    kPropSerialNumber = 372,
    kPropBlinkWarnEnable = 373,
    kPropDefaultFadeTime = 374,
    kPropDefaultRampRate = 375,
    kPropDefaultStepIncrement = 376,
    kPropEgressTime = 377,
    kPropInProgress = 378,
    kPropInstantaneousPower = 379,
    kPropLightingCommand = 380,
    kPropLightingCommandDefaultPriority = 381,
    kPropMaxActualValue = 382,
    kPropMinActualValue = 383,
    kPropPower = 384,
    kPropTransition = 385,
    kPropEgressActive = 386,
};

// Property identifiers from this one on are proprietary.
inline constexpr uint32_t kFirstProprietaryProperty = 512;

// The PDU type: the upper four bits of an APDU's first octet.
enum BACnetPduType : uint8_t {
    kPduConfirmedRequest = 0,
    kPduUnconfirmedRequest = 1,
    kPduSimpleAck = 2,
    kPduComplexAck = 3,
    kPduSegmentAck = 4,
    kPduError = 5,
    kPduReject = 6,
    kPduAbort = 7,
};

// The lower four bits of an APDU's first octet.
inline constexpr uint8_t kApduSegmentedMessage = 0x08;           // confirmed request, ComplexACK
inline constexpr uint8_t kApduMoreFollows = 0x04;                // confirmed request, ComplexACK
inline constexpr uint8_t kApduSegmentedResponseAccepted = 0x02;  // confirmed request
inline constexpr uint8_t kApduNegativeAck = 0x02;                // SegmentACK
inline constexpr uint8_t kApduServer = 0x01;                     // SegmentACK, Abort

// The first octet of an APDU of a PDU type, with the given lower bits.
inline constexpr uint8_t apduFirstOctet(BACnetPduType type, uint8_t bits = 0) {
    return static_cast<uint8_t>(type << 4 | bits);
}

// BACnetConfirmedServiceChoice.
enum BACnetConfirmedServiceChoice : uint8_t {
    kSvcAcknowledgeAlarm = 0,
    kSvcConfirmedCovNotification = 1,
    kSvcConfirmedEventNotification = 2,
    kSvcGetAlarmSummary = 3,
    kSvcGetEnrollmentSummary = 4,
    kSvcSubscribeCov = 5,
    kSvcAtomicReadFile = 6,
    kSvcAtomicWriteFile = 7,
    kSvcAddListElement = 8,
    kSvcRemoveListElement = 9,
    kSvcCreateObject = 10,
    kSvcDeleteObject = 11,
    kSvcReadProperty = 12,
    kSvcReadPropertyConditional = 13,
    kSvcReadPropertyMultiple = 14,
    kSvcWriteProperty = 15,
    kSvcWritePropertyMultiple = 16,
    kSvcDeviceCommunicationControl = 17,
    kSvcConfirmedPrivateTransfer = 18,
    kSvcConfirmedTextMessage = 19,
    kSvcReinitializeDevice = 20,
    kSvcVtOpen = 21,
    kSvcVtClose = 22,
    kSvcVtData = 23,
    kSvcAuthenticate = 24,
    kSvcRequestKey = 25,
    kSvcReadRange = 26,
    kSvcLifeSafetyOperation = 27,
    kSvcSubscribeCovProperty = 28,
    kSvcGetEventInformation = 29,
    kSvcSubscribeCovPropertyMultiple = 30,
    kSvcConfirmedCovNotificationMultiple = 31,
    kSvcConfirmedAuditNotification = 32,
    kSvcAuditLogQuery = 33,
};

// BACnetUnconfirmedServiceChoice.
enum BACnetUnconfirmedServiceChoice : uint8_t {
    kSvcIAm = 0,
    kSvcIHave = 1,
    kSvcUnconfirmedCovNotification = 2,
    kSvcUnconfirmedEventNotification = 3,
    kSvcUnconfirmedPrivateTransfer = 4,
    kSvcUnconfirmedTextMessage = 5,
    kSvcTimeSynchronization = 6,
    kSvcWhoHas = 7,
    kSvcWhoIs = 8,
    kSvcUtcTimeSynchronization = 9,
    kSvcWriteGroup = 10,
    kSvcUnconfirmedCovNotificationMultiple = 11,
    kSvcUnconfirmedAuditNotification = 12,
    kSvcWhoAmI = 13,
    kSvcYouAre = 14,
};

// BACnetServicesSupported: the bit of each service in the
// protocol-services-supported bit string (bit 0 in the top bit of octet 0).
enum BACnetServicesSupported : uint8_t {
    kSupportsAcknowledgeAlarm = 0,
    kSupportsConfirmedCovNotification = 1,
    kSupportsConfirmedEventNotification = 2,
    kSupportsGetAlarmSummary = 3,
    kSupportsGetEnrollmentSummary = 4,
    kSupportsSubscribeCov = 5,
    kSupportsAtomicReadFile = 6,
    kSupportsAtomicWriteFile = 7,
    kSupportsAddListElement = 8,
    kSupportsRemoveListElement = 9,
    kSupportsCreateObject = 10,
    kSupportsDeleteObject = 11,
    kSupportsReadProperty = 12,
    kSupportsReadPropertyConditional = 13,
    kSupportsReadPropertyMultiple = 14,
    kSupportsWriteProperty = 15,
    kSupportsWritePropertyMultiple = 16,
    kSupportsDeviceCommunicationControl = 17,
    kSupportsConfirmedPrivateTransfer = 18,
    kSupportsConfirmedTextMessage = 19,
    kSupportsReinitializeDevice = 20,
    kSupportsVtOpen = 21,
    kSupportsVtClose = 22,
    kSupportsVtData = 23,
    kSupportsAuthenticate = 24,
    kSupportsRequestKey = 25,
    kSupportsIAm = 26,
    kSupportsIHave = 27,
    kSupportsUnconfirmedCovNotification = 28,
    kSupportsUnconfirmedEventNotification = 29,
    kSupportsUnconfirmedPrivateTransfer = 30,
    kSupportsUnconfirmedTextMessage = 31,
    kSupportsTimeSynchronization = 32,
    kSupportsWhoHas = 33,
    kSupportsWhoIs = 34,
    kSupportsReadRange = 35,
    kSupportsUtcTimeSynchronization = 36,
    kSupportsLifeSafetyOperation = 37,
    kSupportsSubscribeCovProperty = 38,
    kSupportsGetEventInformation = 39,
    kSupportsWriteGroup = 40,
    kSupportsSubscribeCovPropertyMultiple = 41,
    kSupportsConfirmedCovNotificationMultiple = 42,
    kSupportsUnconfirmedCovNotificationMultiple = 43,
};

// The context tags of the services' parameters, one enumeration for each
// request, answer or list element.

// ReadProperty, its ACK and WriteProperty.
enum ReadWritePropertyTag : uint8_t {
    kRwpObjectIdentifier = 0,
    kRwpPropertyIdentifier = 1,
    kRwpArrayIndex = 2,
    kRwpValue = 3,
    kRwpPriority = 4,  // WriteProperty only
};

// ReadAccessSpecification, WriteAccessSpecification and ReadAccessResult.
enum AccessSpecificationTag : uint8_t {
    kAccessObjectIdentifier = 0,
    kAccessList = 1,
};

// BACnetPropertyReference and BACnetPropertyValue, the elements of those
// lists in the requests and of the list of values of a COV notification.
enum PropertyValueTag : uint8_t {
    kPvPropertyIdentifier = 0,
    kPvArrayIndex = 1,
    kPvValue = 2,
    kPvPriority = 3,
};

// One result in the list of a ReadAccessResult.
enum ReadAccessResultTag : uint8_t {
    kRarPropertyIdentifier = 2,
    kRarArrayIndex = 3,
    kRarValue = 4,
    kRarError = 5,
};

// WritePropertyMultiple-Error, and the BACnetObjectPropertyReference of the
// write it stopped at.
enum WpmErrorTag : uint8_t {
    kWpmErrorType = 0,
    kWpmFirstFailedWrite = 1,
};
enum ObjectPropertyReferenceTag : uint8_t {
    kOprObjectIdentifier = 0,
    kOprPropertyIdentifier = 1,
    kOprArrayIndex = 2,
};

// SubscribeCOV.
enum SubscribeCovTag : uint8_t {
    kSubscribeProcessIdentifier = 0,
    kSubscribeMonitoredObject = 1,
    kSubscribeIssueConfirmed = 2,
    kSubscribeLifetime = 3,
};

// COV notifications.
enum CovNotificationTag : uint8_t {
    kCovProcessIdentifier = 0,
    kCovInitiatingDevice = 1,
    kCovMonitoredObject = 2,
    kCovTimeRemaining = 3,
    kCovValues = 4,
};

// Event notifications.
enum EventNotificationTag : uint8_t {
    kEvnProcessIdentifier = 0,
    kEvnInitiatingDevice = 1,
    kEvnEventObject = 2,
    kEvnTimeStamp = 3,
    kEvnNotificationClass = 4,
    kEvnPriority = 5,
    kEvnEventType = 6,
    kEvnMessageText = 7,
    kEvnNotifyType = 8,
    kEvnAckRequired = 9,
    kEvnFromState = 10,
    kEvnToState = 11,
    kEvnEventValues = 12,
};

// GetEventInformation, its ACK and one event summary of the ACK.
enum GetEventInformationTag : uint8_t {
    kGeiLastReceivedObject = 0,  // request
    kGeiSummaries = 0,           // ACK
    kGeiMoreEvents = 1,
};
// The event states the meter's objects take.
enum EventState : uint8_t {
    kEventStateNormal = 0,
    kEventStateHighLimit = 3,
    kEventStateLowLimit = 4,
};

enum EventSummaryTag : uint8_t {
    kSummaryObjectIdentifier = 0,
    kSummaryEventState = 1,
    kSummaryAcknowledgedTransitions = 2,
    kSummaryTimeStamps = 3,
    kSummaryNotifyType = 4,
    kSummaryEventEnable = 5,
    kSummaryPriorities = 6,
};

// DeviceCommunicationControl and ReinitializeDevice.
enum DeviceCommunicationControlTag : uint8_t {
    kDccDuration = 0,
    kDccEnableDisable = 1,
    kDccPassword = 2,
};
// Its enable-disable choices.
enum DccState : uint8_t {
    kDccEnable = 0,
    kDccDisable = 1,
    kDccDisableInitiation = 2,
};
enum ReinitializeDeviceTag : uint8_t {
    kReinitializeState = 0,
    kReinitializePassword = 1,
};

// The BVLL type octet of BACnet/IP and BACnet/IPv6.
inline constexpr uint8_t kBvllTypeBip = 0x81;
inline constexpr uint8_t kBvllTypeBipv6 = 0x82;

// BVLC functions of BACnet/IP (the BVLL's second octet).
enum BvlcFunction : uint8_t {
    kBvlcResult = 0x00,
    kBvlcWriteBroadcastDistributionTable = 0x01,
    kBvlcReadBroadcastDistributionTable = 0x02,
    kBvlcReadBroadcastDistributionTableAck = 0x03,
    kBvlcForwardedNpdu = 0x04,
    kBvlcRegisterForeignDevice = 0x05,
    kBvlcReadForeignDeviceTable = 0x06,
    kBvlcReadForeignDeviceTableAck = 0x07,
    kBvlcDeleteForeignDeviceTableEntry = 0x08,
    kBvlcDistributeBroadcastToNetwork = 0x09,
    kBvlcOriginalUnicastNpdu = 0x0A,
    kBvlcOriginalBroadcastNpdu = 0x0B,
    kBvlcSecureBvll = 0x0C,
};

// BVLC functions of BACnet/IPv6 (the BVLL's second octet) that a plain
// B/IPv6 node sends or acts on.
enum Bvlc6Function : uint8_t {
    kBvlc6OriginalUnicastNpdu = 0x01,
    kBvlc6OriginalBroadcastNpdu = 0x02,
    kBvlc6AddressResolution = 0x03,
    kBvlc6ForwardedAddressResolution = 0x04,
    kBvlc6AddressResolutionAck = 0x05,
    kBvlc6ForwardedNpdu = 0x08,
};

// MS/TP frame types.
enum MstpFrameType : uint8_t {
    kMstpFrameToken = 0,
    kMstpFramePollForMaster = 1,
    kMstpFrameReplyToPollForMaster = 2,
    kMstpFrameTestRequest = 3,
    kMstpFrameTestResponse = 4,
    kMstpFrameBacnetDataExpectingReply = 5,
    kMstpFrameBacnetDataNotExpectingReply = 6,
    kMstpFrameReplyPostponed = 7,
};

// The MS/TP broadcast MAC address.
inline constexpr uint8_t kMstpBroadcast = 0xFF;

// Result codes of a BVLC-Result.
enum BvlcResultCode : uint16_t {
    kBvlcSuccessfulCompletion = 0x0000,
    kBvlcWriteBroadcastDistributionTableNak = 0x0010,
    kBvlcReadBroadcastDistributionTableNak = 0x0020,
    kBvlcRegisterForeignDeviceNak = 0x0030,
    kBvlcReadForeignDeviceTableNak = 0x0040,
    kBvlcDeleteForeignDeviceTableEntryNak = 0x0050,
    kBvlcDistributeBroadcastToNetworkNak = 0x0060,
};

// Network-layer message types.
enum NetworkMessageType : uint8_t {
    kNetWhoIsRouterToNetwork = 0x00,
    kNetIAmRouterToNetwork = 0x01,
    kNetICouldBeRouterToNetwork = 0x02,
    kNetRejectMessageToNetwork = 0x03,
    kNetRouterBusyToNetwork = 0x04,
    kNetRouterAvailableToNetwork = 0x05,
    kNetInitializeRoutingTable = 0x06,
    kNetInitializeRoutingTableAck = 0x07,
    kNetEstablishConnectionToNetwork = 0x08,
    kNetDisconnectConnectionToNetwork = 0x09,
    kNetChallengeRequest = 0x0A,
    kNetSecurityPayload = 0x0B,
    kNetSecurityResponse = 0x0C,
    kNetRequestKeyUpdate = 0x0D,
    kNetUpdateKeySet = 0x0E,
    kNetUpdateDistributionKey = 0x0F,
    kNetRequestMasterKey = 0x10,
    kNetSetMasterKey = 0x11,
    kNetWhatIsNetworkNumber = 0x12,
    kNetNetworkNumberIs = 0x13,
};

// Reasons of a Reject-Message-To-Network.
enum NetworkRejectReason : uint8_t {
    kNetRejectOther = 0,
    kNetRejectNotDirectlyConnected = 1,
    kNetRejectRouterBusy = 2,
    kNetRejectUnknownMessageType = 3,
    kNetRejectMessageTooLong = 4,
    kNetRejectSecurityError = 5,
    kNetRejectAddressingError = 6,
};

// BACnetRejectReason.
enum BACnetRejectReason : uint8_t {
    kRejectReasonOther = 0,
    kRejectReasonBufferOverflow = 1,
    kRejectReasonInconsistentParameters = 2,
    kRejectReasonInvalidParameterDataType = 3,
    kRejectReasonInvalidTag = 4,
    kRejectReasonMissingRequiredParameter = 5,
    kRejectReasonParameterOutOfRange = 6,
    kRejectReasonTooManyArguments = 7,
    kRejectReasonUndefinedEnumeration = 8,
    kRejectReasonUnrecognizedService = 9,
    kRejectReasonInvalidDataEncoding = 10,
};

// BACnetAbortReason.
enum BACnetAbortReason : uint8_t {
    kAbortReasonOther = 0,
    kAbortReasonBufferOverflow = 1,
    kAbortReasonInvalidApduInThisState = 2,
    kAbortReasonPreemptedByHigherPriorityTask = 3,
    kAbortReasonSegmentationNotSupported = 4,
    kAbortReasonSecurityError = 5,
    kAbortReasonInsufficientSecurity = 6,
    kAbortReasonWindowSizeOutOfRange = 7,
    kAbortReasonApplicationExceededReplyTime = 8,
    kAbortReasonOutOfResources = 9,
    kAbortReasonTsmTimeout = 10,
    kAbortReasonApduTooLong = 11,
};

// BACnetErrorClass.
enum BACnetErrorClass : uint16_t {
    kErrorClassDevice = 0,
    kErrorClassObject = 1,
    kErrorClassProperty = 2,
    kErrorClassResources = 3,
    kErrorClassSecurity = 4,
    kErrorClassServices = 5,
    kErrorClassVt = 6,
    kErrorClassCommunication = 7,
};

// BACnetErrorCode. 33 was withdrawn.
enum BACnetErrorCode : uint16_t {
    kErrorCodeOther = 0,
    kErrorCodeAuthenticationFailed = 1,
    kErrorCodeConfigurationInProgress = 2,
    kErrorCodeDeviceBusy = 3,
    kErrorCodeDynamicCreationNotSupported = 4,
    kErrorCodeFileAccessDenied = 5,
    kErrorCodeIncompatibleSecurityLevels = 6,
    kErrorCodeInconsistentParameters = 7,
    kErrorCodeInconsistentSelectionCriterion = 8,
    kErrorCodeInvalidDataType = 9,
    kErrorCodeInvalidFileAccessMethod = 10,
    kErrorCodeInvalidFileStartPosition = 11,
    kErrorCodeInvalidOperatorName = 12,
    kErrorCodeInvalidParameterDataType = 13,
    kErrorCodeInvalidTimeStamp = 14,
    kErrorCodeKeyGenerationError = 15,
    kErrorCodeMissingRequiredParameter = 16,
    kErrorCodeNoObjectsOfSpecifiedType = 17,
    kErrorCodeNoSpaceForObject = 18,
    kErrorCodeNoSpaceToAddListElement = 19,
    kErrorCodeNoSpaceToWriteProperty = 20,
    kErrorCodeNoVtSessionsAvailable = 21,
    kErrorCodePropertyIsNotAList = 22,
    kErrorCodeObjectDeletionNotPermitted = 23,
    kErrorCodeObjectIdentifierAlreadyExists = 24,
    kErrorCodeOperationalProblem = 25,
    kErrorCodePasswordFailure = 26,
    kErrorCodeReadAccessDenied = 27,
    kErrorCodeSecurityNotSupported = 28,
    kErrorCodeServiceRequestDenied = 29,
    kErrorCodeTimeout = 30,
    kErrorCodeUnknownObject = 31,
    kErrorCodeUnknownProperty = 32,
    kErrorCodeUnknownVtClass = 34,
    kErrorCodeUnknownVtSession = 35,
    kErrorCodeUnsupportedObjectType = 36,
    kErrorCodeValueOutOfRange = 37,
    kErrorCodeVtSessionAlreadyClosed = 38,
    kErrorCodeVtSessionTerminationFailure = 39,
    kErrorCodeWriteAccessDenied = 40,
    kErrorCodeCharacterSetNotSupported = 41,
    kErrorCodeInvalidArrayIndex = 42,
    kErrorCodeCovSubscriptionFailed = 43,
    kErrorCodeNotCovProperty = 44,
    kErrorCodeOptionalFunctionalityNotSupported = 45,
    kErrorCodeInvalidConfigurationData = 46,
    kErrorCodeDatatypeNotSupported = 47,
    kErrorCodeDuplicateName = 48,
    kErrorCodeDuplicateObjectId = 49,
    kErrorCodePropertyIsNotAnArray = 50,
    kErrorCodeAbortBufferOverflow = 51,
    kErrorCodeAbortInvalidApduInThisState = 52,
    kErrorCodeAbortPreemptedByHigherPriorityTask = 53,
    kErrorCodeAbortSegmentationNotSupported = 54,
    kErrorCodeAbortProprietary = 55,
    kErrorCodeAbortOther = 56,
    kErrorCodeInvalidTag = 57,
    kErrorCodeNetworkDown = 58,
    kErrorCodeRejectBufferOverflow = 59,
    kErrorCodeRejectInconsistentParameters = 60,
    kErrorCodeRejectInvalidParameterDataType = 61,
    kErrorCodeRejectInvalidTag = 62,
    kErrorCodeRejectMissingRequiredParameter = 63,
    kErrorCodeRejectParameterOutOfRange = 64,
    kErrorCodeRejectTooManyArguments = 65,
    kErrorCodeRejectUndefinedEnumeration = 66,
    kErrorCodeRejectUnrecognizedService = 67,
    kErrorCodeRejectProprietary = 68,
    kErrorCodeRejectOther = 69,
    kErrorCodeUnknownDevice = 70,
    kErrorCodeUnknownRoute = 71,
    kErrorCodeValueNotInitialized = 72,
    kErrorCodeInvalidEventState = 73,
    kErrorCodeNoAlarmConfigured = 74,
    kErrorCodeLogBufferFull = 75,
    kErrorCodeLoggedValuePurged = 76,
    kErrorCodeNoPropertySpecified = 77,
    kErrorCodeNotConfiguredForTriggeredLogging = 78,
    kErrorCodeUnknownSubscription = 79,
    kErrorCodeParameterOutOfRange = 80,
    kErrorCodeListElementNotFound = 81,
    kErrorCodeBusy = 82,
    kErrorCodeCommunicationDisabled = 83,
    kErrorCodeSuccess = 84,
    kErrorCodeAccessDenied = 85,
    kErrorCodeBadDestinationAddress = 86,
    kErrorCodeBadDestinationDeviceId = 87,
    kErrorCodeBadSignature = 88,
    kErrorCodeBadSourceAddress = 89,
    kErrorCodeBadTimestamp = 90,
    kErrorCodeCannotUseKey = 91,
    kErrorCodeCannotVerifyMessageId = 92,
    kErrorCodeCorrectKeyRevision = 93,
    kErrorCodeDestinationDeviceIdRequired = 94,
    kErrorCodeDuplicateMessage = 95,
    kErrorCodeEncryptionNotConfigured = 96,
    kErrorCodeEncryptionRequired = 97,
    kErrorCodeIncorrectKey = 98,
    kErrorCodeInvalidKeyData = 99,
    kErrorCodeKeyUpdateInProgress = 100,
    kErrorCodeMalformedMessage = 101,
    kErrorCodeNotKeyServer = 102,
    kErrorCodeSecurityNotConfigured = 103,
    kErrorCodeSourceSecurityRequired = 104,
    kErrorCodeTooManyKeys = 105,
    kErrorCodeUnknownAuthenticationType = 106,
    kErrorCodeUnknownKey = 107,
    kErrorCodeUnknownKeyRevision = 108,
    kErrorCodeUnknownSourceMessage = 109,
    kErrorCodeNotRouterToDnet = 110,
    kErrorCodeRouterBusy = 111,
    kErrorCodeUnknownNetworkMessage = 112,
    kErrorCodeMessageTooLong = 113,
    kErrorCodeSecurityError = 114,
    kErrorCodeAddressingError = 115,
    kErrorCodeWriteBdtFailed = 116,
    kErrorCodeReadBdtFailed = 117,
    kErrorCodeRegisterForeignDeviceFailed = 118,
    kErrorCodeReadFdtFailed = 119,
    kErrorCodeDeleteFdtEntryFailed = 120,
    kErrorCodeDistributeBroadcastFailed = 121,
    kErrorCodeUnknownFileSize = 122,
    kErrorCodeAbortApduTooLong = 123,
    kErrorCodeAbortApplicationExceededReplyTime = 124,
    kErrorCodeAbortOutOfResources = 125,
    kErrorCodeAbortTsmTimeout = 126,
    kErrorCodeAbortWindowSizeOutOfRange = 127,
    kErrorCodeFileFull = 128,
    kErrorCodeInconsistentConfiguration = 129,
    kErrorCodeInconsistentObjectType = 130,
    kErrorCodeInternalError = 131,
    kErrorCodeNotConfigured = 132,
    kErrorCodeOutOfMemory = 133,
    kErrorCodeValueTooLong = 134,
    kErrorCodeAbortInsufficientSecurity = 135,
    kErrorCodeAbortSecurityError = 136,
    kErrorCodeDuplicateEntry = 137,
    kErrorCodeInvalidValueInThisState = 138,
};

// BACnetSegmentation.
enum BACnetSegmentation : uint8_t {
    kSegmentedBoth = 0,
    kSegmentedTransmit = 1,
    kSegmentedReceive = 2,
    kNoSegmentation = 3,
};

// BACnetEventType, which is also the context tag of each form of
// BACnetEventParameter. 7 is deprecated and 12 reserved.
enum BACnetEventType : uint8_t {
    kEventChangeOfBitstring = 0,
    kEventChangeOfState = 1,
    kEventChangeOfValue = 2,
    kEventCommandFailure = 3,
    kEventFloatingLimit = 4,
    kEventOutOfRange = 5,
    kEventComplexEventType = 6,
    kEventChangeOfLifeSafety = 8,
    kEventExtended = 9,
    kEventBufferReady = 10,
    kEventUnsignedRange = 11,
    kEventAccessEvent = 13,
    kEventDoubleOutOfRange = 14,
    kEventSignedOutOfRange = 15,
    kEventUnsignedOutOfRange = 16,
    kEventChangeOfCharacterstring = 17,
    kEventChangeOfStatusFlags = 18,
    kEventChangeOfReliability = 19,
    kEventNone = 20,
    kEventChangeOfDiscreteValue = 21,
    kEventChangeOfTimer = 22,
};

// BACnetFaultType, which is also the context tag of each form of
// BACnetFaultParameter.
enum BACnetFaultType : uint8_t {
    kFaultNone = 0,
    kFaultCharacterstring = 1,
    kFaultExtended = 2,
    kFaultLifeSafety = 3,
    kFaultState = 4,
    kFaultStatusFlags = 5,
    kFaultOutOfRange = 6,
    kFaultListed = 7,
};

// The context tags of the alternatives of the constructed datatypes' choices.

// BACnetRecipient.
enum BACnetRecipientChoice : uint8_t {
    kRecipientDevice = 0,
    kRecipientAddress = 1,
};

// BACnetCalendarEntry.
enum BACnetCalendarEntryChoice : uint8_t {
    kCalendarEntryDate = 0,
    kCalendarEntryDateRange = 1,
    kCalendarEntryWeekNDay = 2,
};

// BACnetTimeStamp.
enum BACnetTimeStampChoice : uint8_t {
    kTimeStampTime = 0,
    kTimeStampSequenceNumber = 1,
    kTimeStampDateTime = 2,
};

// The period of a BACnetSpecialEvent.
enum BACnetSpecialEventPeriod : uint8_t {
    kSpecialEventCalendarEntry = 0,
    kSpecialEventCalendarReference = 1,
};

// The log datum of a BACnetLogRecord.
enum BACnetLogDatumChoice : uint8_t {
    kLogDatumLogStatus = 0,
    kLogDatumBoolean = 1,
    kLogDatumReal = 2,
    kLogDatumEnumerated = 3,
    kLogDatumUnsigned = 4,
    kLogDatumSigned = 5,
    kLogDatumBitString = 6,
    kLogDatumNull = 7,
    kLogDatumFailure = 8,
    kLogDatumTimeChange = 9,
    kLogDatumAny = 10,
};

// The log datum of a BACnetEventLogRecord.
enum BACnetEventLogDatumChoice : uint8_t {
    kEventLogDatumLogStatus = 0,
    kEventLogDatumNotification = 1,
    kEventLogDatumTimeChange = 2,
};

// The log data of a BACnetLogMultipleRecord.
enum BACnetLogDataChoice : uint8_t {
    kLogDataLogStatus = 0,
    kLogDataLogData = 1,
    kLogDataTimeChange = 2,
};

// One entry of the log data of a BACnetLogMultipleRecord.
enum BACnetLogDataEntryChoice : uint8_t {
    kLogEntryBoolean = 0,
    kLogEntryReal = 1,
    kLogEntryEnumerated = 2,
    kLogEntryUnsigned = 3,
    kLogEntrySigned = 4,
    kLogEntryBitString = 5,
    kLogEntryNull = 6,
    kLogEntryFailure = 7,
    kLogEntryAny = 8,
};

// BACnetScale.
enum BACnetScaleChoice : uint8_t {
    kScaleFloat = 0,
    kScaleInteger = 1,
};

// BACnetShedLevel.
enum BACnetShedLevelChoice : uint8_t {
    kShedLevelPercent = 0,
    kShedLevelLevel = 1,
    kShedLevelAmount = 2,
};

// The context-tagged alternatives of BACnetPriorityValue; the others are
// application-tagged primitives.
enum BACnetPriorityValueChoice : uint8_t {
    kPriorityValueConstructed = 0,
    kPriorityValueDateTime = 1,
};

// The context-tagged alternative of BACnetChannelValue; the others are
// application-tagged primitives.
enum BACnetChannelValueChoice : uint8_t {
    kChannelValueLightingCommand = 0,
};

// The character set octet of a character string. A string in DBCS carries
// its code page in the two octets after it.
enum BACnetCharacterSet : uint8_t {
    kCharSetUtf8 = 0,
    kCharSetDbcs = 1,
    kCharSetJisX0208 = 2,
    kCharSetUcs4 = 3,
    kCharSetUcs2 = 4,
    kCharSetIso8859_1 = 5,
};

// Application tag numbers.
enum BACnetApplicationTag : uint8_t {
    kTagNull = 0,
    kTagBoolean = 1,
    kTagUnsigned = 2,
    kTagSigned = 3,
    kTagReal = 4,
    kTagDouble = 5,
    kTagOctetString = 6,
    kTagCharacterString = 7,
    kTagBitString = 8,
    kTagEnumerated = 9,
    kTagDate = 10,
    kTagTime = 11,
    kTagObjectIdentifier = 12,
};

// The largest instance number (22 bits), which in a request also stands
// for "any instance".
inline constexpr uint32_t kMaxInstance = 0x3FFFFF;

// An object identifier of a type and an instance.
inline constexpr uint32_t objectIdMake(uint16_t type, uint32_t instance) {
    return uint32_t{type} << 22 | (instance & kMaxInstance);
}
inline constexpr uint16_t objectIdType(uint32_t objectId) {
    return static_cast<uint16_t>(objectId >> 22);
}
inline constexpr uint32_t objectIdInstance(uint32_t objectId) {
    return objectId & kMaxInstance;
}
