// The total C boundary: every exported function that the device table
// (api_table_test.cpp) does not already call with bad arguments, the EPC
// library, its driver and the zip wrapper included, swept with hostile
// arguments (sweep.h), each row in a process of its own with a time bound.
// The last test checks that the tables of this folder name every function
// of the export lists, so a new export needs a row.
#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "boundary/sweep.h"
#include "testutil.h"
#include "vizor/cmap.h"
#include "vizor/drv.h"
#include "vizor/drv_epc.h"
#include "vizor/epc660.h"
#include "vizor/lens.h"
#include "vizor/ll.h"
#include "vizor/log.h"
#include "vizor/math3d.h"
#include "vizor/stream.h"
#include "vizor/vizor.h"
#include "vizor/zip.h"

namespace {

namespace fs = std::filesystem;

#define VZT_SWEEP(fn)                      \
    vzt::Row {                             \
#fn, [] { return vzt::sweep(fn); } \
    }

const std::vector<vzt::Row> &sweep_rows() {
    static const std::vector<vzt::Row> rows = {
        // device API: lifecycle, open, statistics, logging
        VZT_SWEEP(vz_log_disable),
        VZT_SWEEP(vizor_init),
        VZT_SWEEP(vizor_uninit),
        VZT_SWEEP(vizor_log_cfg),
        VZT_SWEEP(vizor_dev_open),
        VZT_SWEEP(vizor_cap_get_stats),
        // exact 3D: the driver's lens and a caller's lens
        VZT_SWEEP(vizor_frame_get_points),
        VZT_SWEEP(vizor_frame_get_depth),
        VZT_SWEEP(vizor_frame_get_depth_mm),
        VZT_SWEEP(vizor_frame_remove_flying_pixels),
        VZT_SWEEP(vz_lens_rays),
        VZT_SWEEP(vz_lens_points),
        VZT_SWEEP(vz_lens_depth),
        VZT_SWEEP(vz_lens_depth_mm),
        // EPC driver and adapter
        VZT_SWEEP(epc_adapater_get_frame_valid),
        VZT_SWEEP(epc_adapater_set_frame_valid),
        VZT_SWEEP(epc_adapter_call),
        VZT_SWEEP(epc_adapter_init),
        VZT_SWEEP(epc_adapter_select),
        VZT_SWEEP(epc_adapter_uninit),
        VZT_SWEEP(epc_frame_decode),
        VZT_SWEEP(epc_frame_get_info),
        VZT_SWEEP(epc_init),
        VZT_SWEEP(epc_lens_param_get),
        // EPC library: shims, configuration, timing, temperature, readout, facade
        VZT_SWEEP(adcGetValue),
        VZT_SWEEP(adcGetValueMicroAmpere),
        VZT_SWEEP(adcGetValueMillivolts),
        VZT_SWEEP(adcOpen),
        VZT_SWEEP(apiCalibrateDRNU),
        VZT_SWEEP(apiCalibrateFlim),
        VZT_SWEEP(apiCalibrateGrayscale),
        VZT_SWEEP(apiCorrectAmbientLight),
        VZT_SWEEP(apiCorrectDRNU),
        VZT_SWEEP(apiCorrectFlimGain),
        VZT_SWEEP(apiCorrectFlimOffset),
        VZT_SWEEP(apiCorrectGrayscaleGain),
        VZT_SWEEP(apiCorrectGrayscaleOffset),
        VZT_SWEEP(apiCorrectTemperature),
        VZT_SWEEP(apiEnableABS),
        VZT_SWEEP(apiEnableAdcOverflow),
        VZT_SWEEP(apiEnableAddArgThreshold),
        VZT_SWEEP(apiEnableDefaultOffset),
        VZT_SWEEP(apiEnableDualMGX),
        VZT_SWEEP(apiEnableHDR),
        VZT_SWEEP(apiEnableHorizontalBinning),
        VZT_SWEEP(apiEnableImageCorrection),
        VZT_SWEEP(apiEnableKalman),
        VZT_SWEEP(apiEnablePiDelay),
        VZT_SWEEP(apiEnableSaturation),
        VZT_SWEEP(apiEnableVerticalBinning),
        VZT_SWEEP(apiFLIM),
        VZT_SWEEP(apiFLIMGetStep),
        VZT_SWEEP(apiFLIMSetFlashDelay),
        VZT_SWEEP(apiFLIMSetFlashWidth),
        VZT_SWEEP(apiFLIMSetRepetitions),
        VZT_SWEEP(apiFLIMSetT1),
        VZT_SWEEP(apiFLIMSetT2),
        VZT_SWEEP(apiFLIMSetT3),
        VZT_SWEEP(apiFLIMSetT4),
        VZT_SWEEP(apiFLIMSetTREP),
        VZT_SWEEP(apiGetAmplitudeSorted),
        VZT_SWEEP(apiGetAveragedTemperature),
        VZT_SWEEP(apiGetBWSorted),
        VZT_SWEEP(apiGetBadPixels),
        VZT_SWEEP(apiGetChipInfo),
        VZT_SWEEP(apiGetDCSSorted),
        VZT_SWEEP(apiGetDistanceAndAmplitudeSorted),
        VZT_SWEEP(apiGetDistanceSorted),
        VZT_SWEEP(apiGetIcVersion),
        VZT_SWEEP(apiGetImagingTime),
        VZT_SWEEP(apiGetMinAmplitude),
        VZT_SWEEP(apiGetModulationFrequencies),
        VZT_SWEEP(apiGetOffset),
        VZT_SWEEP(apiGetPartVersion),
        VZT_SWEEP(apiGetSpeedOfLightDev2),
        VZT_SWEEP(apiGetTemperature),
        VZT_SWEEP(apiGetVersion),
        VZT_SWEEP(apiIsEnabledAmbientLightCorrection),
        VZT_SWEEP(apiIsEnabledDRNUCorrection),
        VZT_SWEEP(apiIsEnabledGrayscaleCorrection),
        VZT_SWEEP(apiIsEnabledTemperatureCorrection),
        VZT_SWEEP(apiIsFLIM),
        VZT_SWEEP(apiIsFlimCorrectionAvailable),
        VZT_SWEEP(apiLoadConfig),
        VZT_SWEEP(apiLoadTemperatureDRNU),
        VZT_SWEEP(apiPrint),
        VZT_SWEEP(apiReadRegister),
        // apiRenewDRNU rebuilds the DRNU table (seconds per call under the
        // sanitizers): the extreme steps only.
        {"apiRenewDRNU",
         [] {
             return vzt::sweep_some(apiRenewDRNU, {2, 3});
         }},
        VZT_SWEEP(apiSelectMode),
        VZT_SWEEP(apiSelectPolynomial),
        VZT_SWEEP(apiSetAddArgMax),
        VZT_SWEEP(apiSetAddArgMin),
        VZT_SWEEP(apiSetAddArgThreshold),
        VZT_SWEEP(apiSetAmbientLightFactor),
        VZT_SWEEP(apiSetDRNUAverage),
        VZT_SWEEP(apiSetDRNUDelay),
        VZT_SWEEP(apiSetDRNUDiffTemp),
        VZT_SWEEP(apiSetEnableImaging),
        VZT_SWEEP(apiSetHysteresis),
        VZT_SWEEP(apiSetImageAveraging),
        VZT_SWEEP(apiSetImageDifferenceThreshold),
        VZT_SWEEP(apiSetImageProcessing),
        VZT_SWEEP(apiSetIntegrationTime2D),
        VZT_SWEEP(apiSetIntegrationTime3D),
        VZT_SWEEP(apiSetIntegrationTime3DHDR),
        VZT_SWEEP(apiSetKalmanK),
        VZT_SWEEP(apiSetKalmanKdiff),
        VZT_SWEEP(apiSetKalmanNumCheck),
        VZT_SWEEP(apiSetKalmanQ),
        VZT_SWEEP(apiSetKalmanThreshold),
        VZT_SWEEP(apiSetKalmanThreshold2),
        VZT_SWEEP(apiSetMinAmplitude),
        VZT_SWEEP(apiSetModulationFrequency),
        VZT_SWEEP(apiSetOffset),
        VZT_SWEEP(apiSetROI),
        VZT_SWEEP(apiSetRowReduction),
        VZT_SWEEP(apiSetSpeedOfLight),
        VZT_SWEEP(apiSetTempCoef),
        VZT_SWEEP(apiShowDRNU),
        VZT_SWEEP(apiTOF),
        VZT_SWEEP(apiTest),
        VZT_SWEEP(apiWriteRegister),
        VZT_SWEEP(bbbLEDEnable),
        VZT_SWEEP(boot),
        VZT_SWEEP(bootCloseEpc660_enable),
        VZT_SWEEP(bootGetChipID),
        VZT_SWEEP(bootGetIcVersion),
        VZT_SWEEP(bootGetPartType),
        VZT_SWEEP(bootGetPartVersion),
        VZT_SWEEP(bootGetWaferID),
        VZT_SWEEP(bootInit),
        VZT_SWEEP(bootNormalMode),
        VZT_SWEEP(bootReset),
        VZT_SWEEP(bootUndo),
        VZT_SWEEP(chipInfoGetInfo),
        VZT_SWEEP(cleanQueue_intern),
        VZT_SWEEP(configAddEndFileName),
        VZT_SWEEP(configEnableABS),
        VZT_SWEEP(configEnableAddArg),
        VZT_SWEEP(configFindModulationFrequencies),
        VZT_SWEEP(configGetChipID),
        VZT_SWEEP(configGetCurrentMode),
        VZT_SWEEP(configGetDcsAdd_threshold),
        VZT_SWEEP(configGetDeviceAddress),
        VZT_SWEEP(configGetGC),
        VZT_SWEEP(configGetGL),
        VZT_SWEEP(configGetGM),
        VZT_SWEEP(configGetGX),
        VZT_SWEEP(configGetGY),
        VZT_SWEEP(configGetGZ),
        VZT_SWEEP(configGetIcVersion),
        VZT_SWEEP(configGetImagingTime),
        VZT_SWEEP(configGetIntegrationTime2D),
        VZT_SWEEP(configGetIntegrationTime3D),
        VZT_SWEEP(configGetIntegrationTime3DHDR),
        VZT_SWEEP(configGetModFreqCount),
        VZT_SWEEP(configGetModFreqMode),
        VZT_SWEEP(configGetModeCount),
        VZT_SWEEP(configGetModulationFrequencies),
        VZT_SWEEP(configGetModulationFrequency),
        VZT_SWEEP(configGetPartType),
        VZT_SWEEP(configGetPartVersion),
        VZT_SWEEP(configGetSequencerVersion),
        VZT_SWEEP(configGetSysClk),
        VZT_SWEEP(configGetTModClk),
        VZT_SWEEP(configGetTPLLClk),
        VZT_SWEEP(configGetWaferID),
        VZT_SWEEP(configInit),
        VZT_SWEEP(configInitRegisters),
        VZT_SWEEP(configIsABS),
        VZT_SWEEP(configIsEnabledAmbientLightCorrection),
        VZT_SWEEP(configIsEnabledDRNUCorrection),
        VZT_SWEEP(configIsEnabledGrayscaleCorrection),
        VZT_SWEEP(configIsEnabledTemperatureCorrection),
        VZT_SWEEP(configIsFLIM),
        VZT_SWEEP(configLoad),
        VZT_SWEEP(configLoadParameters),
        VZT_SWEEP(configPrint),
        VZT_SWEEP(configRestartFLIM),
        VZT_SWEEP(configRestartTOF),
        VZT_SWEEP(configSaveParameters),
        VZT_SWEEP(configSetAddArgMax),
        VZT_SWEEP(configSetAddArgMin),
        VZT_SWEEP(configSetChipID),
        VZT_SWEEP(configSetDCS),
        VZT_SWEEP(configSetDcsAdd_threshold),
        VZT_SWEEP(configSetDeviceAddress),
        VZT_SWEEP(configSetIcVersion),
        VZT_SWEEP(configSetIntegrationTime),
        VZT_SWEEP(configSetIntegrationTime2D),
        VZT_SWEEP(configSetIntegrationTime3D),
        VZT_SWEEP(configSetIntegrationTime3DHDR),
        VZT_SWEEP(configSetIntegrationTimesHDR),
        VZT_SWEEP(configSetMode),
        VZT_SWEEP(configSetModulationFrequency),
        VZT_SWEEP(configSetPartType),
        VZT_SWEEP(configSetPartVersion),
        VZT_SWEEP(configSetPrint),
        VZT_SWEEP(configSetWaferID),
        VZT_SWEEP(configStatusEnableAddArg),
        VZT_SWEEP(dequeue),
        VZT_SWEEP(dllBypassDLL),
        VZT_SWEEP(dllDetermineAndSetDemodulationDelay),
        VZT_SWEEP(dllEnablePreheat),
        VZT_SWEEP(dllGetCoarseCtrlExt),
        VZT_SWEEP(dllGetFineCtrlExt),
        VZT_SWEEP(dllInitialize),
        VZT_SWEEP(dllLockAutomatically),
        VZT_SWEEP(dllResetDemodulationDelay),
        VZT_SWEEP(enqueue),
        VZT_SWEEP(flimGetFlashWidth),
        VZT_SWEEP(flimGetRepetitions),
        VZT_SWEEP(flimGetStep),
        VZT_SWEEP(flimResetSkip),
        VZT_SWEEP(flimSetDelay),
        VZT_SWEEP(flimSetFlashDelay),
        VZT_SWEEP(flimSetFlashWidth),
        VZT_SWEEP(flimSetRepetitions),
        VZT_SWEEP(flimSetSkip),
        VZT_SWEEP(flimSetT1),
        VZT_SWEEP(flimSetT2),
        VZT_SWEEP(flimSetT3),
        VZT_SWEEP(flimSetT4),
        VZT_SWEEP(flimSetTREP),
        VZT_SWEEP(getMajor),
        VZT_SWEEP(getMinor),
        VZT_SWEEP(getPatch),
        VZT_SWEEP(getVersion),
        VZT_SWEEP(gpio_close_dir),
        VZT_SWEEP(gpio_close_val),
        VZT_SWEEP(gpio_export),
        VZT_SWEEP(gpio_get_dir),
        VZT_SWEEP(gpio_get_val),
        VZT_SWEEP(gpio_open_dir),
        VZT_SWEEP(gpio_open_val),
        VZT_SWEEP(gpio_set_dir),
        VZT_SWEEP(gpio_set_val),
        VZT_SWEEP(gpio_unexport),
        VZT_SWEEP(i2c),
        VZT_SWEEP(illuminationDisable),
        VZT_SWEEP(illuminationEnable),
        VZT_SWEEP(isIlluminationEnabled),
        VZT_SWEEP(isQueueEmpty),
        VZT_SWEEP(printChipParam),
        VZT_SWEEP(pruGetColReduction),
        VZT_SWEEP(pruGetImage),
        VZT_SWEEP(pruGetMinAmplitude),
        VZT_SWEEP(pruGetNCols),
        VZT_SWEEP(pruGetNDCS),
        VZT_SWEEP(pruGetNRowsPerHalf),
        VZT_SWEEP(pruGetNumberOfHalves),
        VZT_SWEEP(pruGetRowReduction),
        VZT_SWEEP(pruInit),
        VZT_SWEEP(pruRelease),
        VZT_SWEEP(pruSetColReduction),
        VZT_SWEEP(pruSetDCS),
        VZT_SWEEP(pruSetImage),
        VZT_SWEEP(pruSetMinAmplitude),
        VZT_SWEEP(pruSetRowReduction),
        VZT_SWEEP(pruSetSize),
        VZT_SWEEP(queueError),
        VZT_SWEEP(queueInit),
        VZT_SWEEP(readOutEnableDualMGX),
        VZT_SWEEP(readOutEnableHDR),
        VZT_SWEEP(readOutEnableHorizontalBinning),
        VZT_SWEEP(readOutEnableVerticalBinning),
        VZT_SWEEP(readOutGetBottomRightX),
        VZT_SWEEP(readOutGetBottomRightY),
        VZT_SWEEP(readOutGetTopLeftX),
        VZT_SWEEP(readOutGetTopLeftY),
        VZT_SWEEP(readOutIsHorizontalBinning),
        VZT_SWEEP(readOutIsVerticalBinning),
        VZT_SWEEP(readOutSetROI),
        VZT_SWEEP(readOutSetRowReduction),
        VZT_SWEEP(succ),
        VZT_SWEEP(temperatureGetAveragedChipTemperature),
        VZT_SWEEP(temperatureGetGrayscaleData),
        VZT_SWEEP(temperatureGetGrayscalePixel),
        VZT_SWEEP(temperatureGetIbTemperatureByFrameHeader),
        VZT_SWEEP(temperatureGetLastTempChip),
        VZT_SWEEP(temperatureGetLastTempIllumination),
        VZT_SWEEP(temperatureGetTemperature),
        VZT_SWEEP(temperatureGetTemperature635),
        VZT_SWEEP(temperatureGetTemperatureByFrameHeader),
        VZT_SWEEP(temperatureGetTemperatureChip),
        VZT_SWEEP(temperatureGetTemperatureIllumination),
        VZT_SWEEP(temperatureGetTemperatureROI),
        VZT_SWEEP(temperatureGetTemperatureROI_EPC660_CHIP7),
        VZT_SWEEP(temperatureGetTemperatureRegister),
        VZT_SWEEP(temperatureGetTemperatures),
        VZT_SWEEP(temperatureInit),
        VZT_SWEEP(temperatureKalmanFilter),
        VZT_SWEEP(temperatureSetTemperatureByFrameHeader),
        // EPC library: distance and amplitude calculation
        VZT_SWEEP(adcOverflowCheck1DCS),
        VZT_SWEEP(adcOverflowCheck2DCS),
        VZT_SWEEP(adcOverflowCheck4DCS),
        VZT_SWEEP(adcOverflowEnable),
        VZT_SWEEP(adcOverflowGetMax),
        VZT_SWEEP(adcOverflowGetMin),
        VZT_SWEEP(adcOverflowIsEnabled),
        VZT_SWEEP(adcOverflowSetMax),
        VZT_SWEEP(adcOverflowSetMin),
        VZT_SWEEP(atan2_lut),
        VZT_SWEEP(atan2lut_Init),
        VZT_SWEEP(calcBWSorted),
        VZT_SWEEP(calcDefNoPiDelayGetDataSorted),
        VZT_SWEEP(calcDefPiDelayGetDataSorted),
        VZT_SWEEP(calcMGXNoPiDelayGetDataSorted),
        VZT_SWEEP(calcMGXPiDelayGetDataSorted),
        VZT_SWEEP(calcPNDefNoPiDelayGetDataSorted),
        VZT_SWEEP(calcPNDefPiDelayGetDataSorted),
        VZT_SWEEP(calcPNMGXNoPiDelayGetDataSorted),
        VZT_SWEEP(calcPNMGXPiDelayGetDataSorted),
        VZT_SWEEP(calculationAmplitudeSorted),
        VZT_SWEEP(calculationBW),
        VZT_SWEEP(calculationBWSorted),
        VZT_SWEEP(calculationDCSSorted),
        VZT_SWEEP(calculationDistanceAndAmplitudeSorted),
        VZT_SWEEP(calculationDistanceSorted),
        VZT_SWEEP(calculationEnableDualMGX),
        VZT_SWEEP(calculationEnableHDR),
        VZT_SWEEP(calculationEnableLinear),
        VZT_SWEEP(calculationEnablePN),
        VZT_SWEEP(calculationEnablePiDelay),
        VZT_SWEEP(calculationIsDualMGX),
        VZT_SWEEP(calculationIsHDR),
        VZT_SWEEP(calculationIsPN),
        VZT_SWEEP(calculationIsPiDelay),
        VZT_SWEEP(calculatorGetAmpPN),
        VZT_SWEEP(calculatorGetAmpSine),
        VZT_SWEEP(calculatorGetDistAndAmpPN),
        VZT_SWEEP(calculatorGetDistAndAmpSine),
        VZT_SWEEP(calculatorGetPixelMask),
        VZT_SWEEP(calculatorInit),
        VZT_SWEEP(calculatorSetArgs2DCS),
        VZT_SWEEP(calculatorSetArgs4DCS),
        VZT_SWEEP(calculatorSetPixelMask),
        VZT_SWEEP(dumpAllRegisters),
        VZT_SWEEP(hysteresisUpdate),
        VZT_SWEEP(iteratorDefaultHasNext),
        VZT_SWEEP(iteratorDefaultInit),
        VZT_SWEEP(iteratorDefaultNext),
        VZT_SWEEP(iteratorMGXHasNext),
        VZT_SWEEP(iteratorMGXInit),
        VZT_SWEEP(iteratorMGXNext),
        VZT_SWEEP(pnSelectPolynomial),
        VZT_SWEEP(saturationCheck),
        VZT_SWEEP(saturationEnable),
        VZT_SWEEP(saturationSet1DCS),
        VZT_SWEEP(saturationSet2DCS),
        VZT_SWEEP(saturationSet4DCS),
        VZT_SWEEP(saturationSetSaturationBit),
        VZT_SWEEP(setEnableImaging),
        // EPC library: corrections and DRNU calibration
        VZT_SWEEP(calculationAddOffset),
        VZT_SWEEP(calculationAmbientDCSCorrection),
        VZT_SWEEP(calculationAmbientDCSCorrectionPixel),
        VZT_SWEEP(calculationCorrectDRNU),
        VZT_SWEEP(calculationCorrectDRNU2_opt),
        VZT_SWEEP(calculationEnableKalman),
        VZT_SWEEP(calculationFalmanFiltering),
        VZT_SWEEP(calculationGetAmbientLightFactor),
        VZT_SWEEP(calculationGetAmbientLightFactorOrg),
        VZT_SWEEP(calculationGetEnableAmbientLight),
        VZT_SWEEP(calculationGetEnableDRNU),
        VZT_SWEEP(calculationGetEnableTemperature),
        VZT_SWEEP(calculationInitKalman),
        VZT_SWEEP(calculationInterpolate),
        VZT_SWEEP(calculationKalmanFilter),
        VZT_SWEEP(calculationSetAmbientLightFactor),
        VZT_SWEEP(calculationSetAmbientLightFactorOrg),
        VZT_SWEEP(calculationSetDiffTemp),
        VZT_SWEEP(calculationSetEnableAmbientLight),
        VZT_SWEEP(calculationSetEnableDRNU),
        VZT_SWEEP(calculationSetEnableTemperature),
        VZT_SWEEP(calculationSetKalmanK),
        VZT_SWEEP(calculationSetKalmanKdiff),
        VZT_SWEEP(calculationSetKalmanNumCheck),
        VZT_SWEEP(calculationSetKalmanQ),
        VZT_SWEEP(calculationSetKalmanThreshold),
        VZT_SWEEP(calculationSimpleKalmanFilter),
        VZT_SWEEP(calculationTemperatureCompensation),
        VZT_SWEEP(calculationVariance),
        VZT_SWEEP(calibrateGetDRNUAverage),
        VZT_SWEEP(calibrateGetDRNUCalibrateDelay),
        VZT_SWEEP(calibrateGetDRNUDiffTemp),
        VZT_SWEEP(calibrateGetDRNULutPixel),
        VZT_SWEEP(calibrateGetDistImagePixel),
        VZT_SWEEP(calibrateGetHeight),
        VZT_SWEEP(calibrateGetNumDistances),
        VZT_SWEEP(calibrateGetSpeedOfLightDiv2),
        VZT_SWEEP(calibrateGetStepCalMM),
        VZT_SWEEP(calibrateGetTempCalib),
        VZT_SWEEP(calibrateGetTempCoef),
        VZT_SWEEP(calibrateGetWidth),
        VZT_SWEEP(calibrateGetoffsetPhaseDefaultFPN),
        // calibrateRenewDRNU rebuilds the DRNU table (seconds per call under the
        // sanitizers): the extreme steps only.
        {"calibrateRenewDRNU",
         [] {
             return vzt::sweep_some(calibrateRenewDRNU, {2, 3});
         }},
        VZT_SWEEP(calibrateSetDRNUAverage),
        VZT_SWEEP(calibrateSetDRNUCalibrateDelay),
        VZT_SWEEP(calibrateSetDRNUDiffTemp),
        VZT_SWEEP(calibrateSetHeight),
        VZT_SWEEP(calibrateSetNumDistances),
        VZT_SWEEP(calibrateSetSpeedOfLightDiv2),
        VZT_SWEEP(calibrateSetTempCoef),
        VZT_SWEEP(calibrateSetWidth),
        VZT_SWEEP(calibrateShowDRNU),
        VZT_SWEEP(calibrationAutoRenew),
        VZT_SWEEP(calibrationCalcDRNUStd),
        VZT_SWEEP(calibrationChangeDRNU_LUT),
        VZT_SWEEP(calibrationCorrectDRNU_LUT),
        VZT_SWEEP(calibrationCreateDRNU_LUT),
        VZT_SWEEP(calibrationDRNU),
        VZT_SWEEP(calibrationDRNU_FromFile),
        VZT_SWEEP(calibrationDataFileCheck),
        VZT_SWEEP(calibrationEnableDefaultOffset),
        VZT_SWEEP(calibrationErrorCurveEndIndex),
        VZT_SWEEP(calibrationFindLine),
        VZT_SWEEP(calibrationGetBadPixels),
        VZT_SWEEP(calibrationGetDistanceImagesName),
        VZT_SWEEP(calibrationGetOffset),
        VZT_SWEEP(calibrationGetOffsetDRNU),
        VZT_SWEEP(calibrationGetOffsetPhase),
        VZT_SWEEP(calibrationGetParamName),
        VZT_SWEEP(calibrationIsDefaultEnabled),
        VZT_SWEEP(calibrationLinearRegresion),
        VZT_SWEEP(calibrationLoadDRNU_LUT),
        VZT_SWEEP(calibrationLoadDistanceImages),
        VZT_SWEEP(calibrationLoadTemperatureDRNU),
        VZT_SWEEP(calibrationSaveDRNU_LUT),
        VZT_SWEEP(calibrationSaveDRNU_LUT_TestXY),
        VZT_SWEEP(calibrationSaveDRNU_LUT_TestYX),
        VZT_SWEEP(calibrationSaveDistanceImages),
        VZT_SWEEP(calibrationSaveDistanceImagesTXT),
        VZT_SWEEP(calibrationSaveTemperatureDRNU),
        VZT_SWEEP(calibrationSearchBadPixelsWithMin),
        VZT_SWEEP(calibrationSetDefaultOffsetPhase),
        VZT_SWEEP(calibrationSetNumberOfColumnsMax),
        VZT_SWEEP(calibrationSetNumberOfRowsMax),
        VZT_SWEEP(calibrationSetOffset),
        VZT_SWEEP(calibrationSetOffsetPhase),
        VZT_SWEEP(calibrationTestStep),
        VZT_SWEEP(calibrationUpdateFrequency),
        VZT_SWEEP(calibrationGetSetFrequency),
        // EPC library: image processing, grayscale and FLIM calibration
        VZT_SWEEP(imageCorrectionLoad),
        VZT_SWEEP(imageCorrectionEnable),
        VZT_SWEEP(imageCorrectionTransform),
        VZT_SWEEP(imageCorrect),
        VZT_SWEEP(imageSetProcessing),
        VZT_SWEEP(imageProcess),
        VZT_SWEEP(imageAverageFourConnectivity),
        VZT_SWEEP(imageAverageEightConnectivity),
        VZT_SWEEP(imageSetNumberOfPicture),
        VZT_SWEEP(imageAverage),
        VZT_SWEEP(imageDifferenceSetThreshold),
        VZT_SWEEP(imageDifferenceInit),
        VZT_SWEEP(imageDifference),
        VZT_SWEEP(hysteresisSetThresholds),
        VZT_SWEEP(hysteresisUpdateThresholds),
        VZT_SWEEP(hysteresisIsEnabled),
        VZT_SWEEP(setCorrectGrayscaleOffset),
        VZT_SWEEP(setCorrectGrayscaleGain),
        VZT_SWEEP(calculationCorrectFlimOffset),
        VZT_SWEEP(calculationCorrectFlimGain),
        VZT_SWEEP(calculateSetFlimCorrectionAvailable),
        VZT_SWEEP(calculateIsFlimCorrectionAvailable),
        VZT_SWEEP(calculateGrayscaleCorrection),
        VZT_SWEEP(calculationFlimCorrection),
        VZT_SWEEP(calculationCalibrateGrayscale),
        VZT_SWEEP(calculationGrayscaleMean),
        VZT_SWEEP(calculationGrayscaleGainOffset),
        VZT_SWEEP(calculateSaveGrayscaleImage),
        VZT_SWEEP(calculateLoadGrayscaleImage),
        VZT_SWEEP(calculateSaveGrayscaleGainOffset),
        VZT_SWEEP(calculateLoadGrayscaleGainOffset),
        VZT_SWEEP(calculationFlimCalibration),
        VZT_SWEEP(calculationCalibrateFlim),
        VZT_SWEEP(calculationFlimMean),
        VZT_SWEEP(calculationFlimGainOffset),
        VZT_SWEEP(calculateSaveFlimImage),
        VZT_SWEEP(calculateLoadFlimImage),
        VZT_SWEEP(calculateSaveFlimGainOffset),
        VZT_SWEEP(calculateLoadFlimGainOffset),
        // 3D math constructors and projections
        VZT_SWEEP(mat3_create),
        VZT_SWEEP(mat3_identity),
        VZT_SWEEP(mat4_create),
        VZT_SWEEP(mat4_frustum),
        VZT_SWEEP(mat4_identity),
        VZT_SWEEP(mat4_ortho),
        VZT_SWEEP(mat4_perspective),
        VZT_SWEEP(quat_create),
        VZT_SWEEP(vec3_create),
        // transport lifecycle
        VZT_SWEEP(vizor_ll_init),
        VZT_SWEEP(vizor_ll_set_debug),
        VZT_SWEEP(vizor_ll_uninit),
        // zip wrapper
        VZT_SWEEP(zip_open),
        VZT_SWEEP(zip_close),
        VZT_SWEEP(zip_entry_open),
        VZT_SWEEP(zip_entry_close),
        VZT_SWEEP(zip_entry_write),
        VZT_SWEEP(zip_entry_fwrite),
        VZT_SWEEP(zip_entry_read),
        VZT_SWEEP(zip_entry_fread),
        VZT_SWEEP(zip_entry_extract),
        VZT_SWEEP(zip_total_entries),
        VZT_SWEEP(zip_create),
        VZT_SWEEP(zip_extract),
    };
    return rows;
}

// The documented failure values of the calls that take a caller's buffer or
// name: NULL, zero and absurd counts, and lengths shorter than the data.
const std::vector<vzt::Row> &failure_rows() {
    static const std::vector<vzt::Row> rows = {
        {"i2c_refusals",
         [] {
             unsigned char b[4] = {}, *p = b, *none = nullptr;
             return i2c(-1, 'r', 0, 1, &p) == -1 && i2c(0, 'r', 256, 1, &p) == -1 &&
                    i2c(0, 'r', 0, 262, &p) == -1 && i2c(0, 'w', 0, 1, nullptr) == -1 &&
                    i2c(0, 'w', 0, 1, &none) == -1;
         }},
        {"pru_chip_info",
         [] { return pruGetImage(nullptr) == 0 && chipInfoGetInfo(0, nullptr) == -1; }},
        {"config_add_end_file_name",
         [] {
             char name[256] = "a";
             std::string ext(300, 'x');
             return configAddEndFileName(nullptr, ".t") == nullptr &&
                    configAddEndFileName(name, nullptr) == nullptr &&
                    configAddEndFileName(name, ext.c_str()) == nullptr && std::string(name) == "a";
         }},
        {"temperature_null_buffers",
         [] {
             return temperatureSetTemperatureByFrameHeader(nullptr) == -1 &&
                    temperatureGetTemperatures(0, nullptr) == -1 &&
                    temperatureGetTemperatureChip(0, nullptr) == -1 &&
                    temperatureGetTemperatureIllumination(nullptr) == -1 &&
                    temperatureGetTemperatureRegister(0, nullptr) == -1 &&
                    temperatureGetTemperatureROI(0, nullptr) == -1 &&
                    temperatureGetTemperatureROI_EPC660_CHIP7(0, nullptr) == -1 &&
                    temperatureGetTemperature635(0, nullptr) == -1 &&
                    apiGetTemperature(0, nullptr) == -1 && apiGetChipInfo(0, nullptr) == -1;
         }},
        {"temperature_kalman_counts",
         [] {
             int16_t v[8] = {};
             return temperatureKalmanFilter(v, -1) == -1 && temperatureKalmanFilter(v, 9) == -1 &&
                    temperatureKalmanFilter(nullptr, 3) == -1 &&
                    temperatureKalmanFilter(nullptr, 0) == 0;
         }},
        {"api_registers",
         [] {
             unsigned char b[4] = {}, *p = b;
             return apiReadRegister(0, 1, nullptr, 0) == -1 &&
                    apiReadRegister(0, INT_MAX, &p, 0) == -1 && apiReadRegister(-5, 1, &p, 0) == -1;
         }},
        {"api_sorted_images",
         [] {
             return apiGetBWSorted(nullptr) == 0 && apiGetDCSSorted(nullptr) == 0 &&
                    apiGetDistanceSorted(nullptr) == 0 && apiGetAmplitudeSorted(nullptr) == 0 &&
                    apiGetDistanceAndAmplitudeSorted(nullptr) == 0 && calculationBW(nullptr) == 0;
         }},
        {"bad_pixel_files",
         [] { return apiGetBadPixels(nullptr) == -1 && calibrationGetBadPixels(nullptr) == -1; }},
        {"calibrate_flim_null_gate", [] { return apiCalibrateFlim(nullptr) == 0; }},
        {"frame_queue",
         [] {
             uint8_t f[16] = {};
             return enqueue(nullptr, 16) == -1 && enqueue(f, -1) == -1 &&
                    enqueue(f, 661249) == -1 && dequeue(nullptr) == -1;
         }},
        {"register_dump", [] { return dumpAllRegisters(0, nullptr) == -1; }},
        {"corrections_null_image",
         [] {
             uint16_t img[4] = {};
             return calculationCorrectDRNU(nullptr) == -1 &&
                    calculationCorrectDRNU2_opt(nullptr, img) == -1 &&
                    calculationCorrectDRNU2_opt(img, nullptr) == -1 &&
                    calculationTemperatureCompensation(nullptr) == -1 &&
                    calculationAddOffset(nullptr) == -1 &&
                    calculationFalmanFiltering(nullptr) == -1 &&
                    calculationAmbientDCSCorrection(nullptr, 1) == -1 &&
                    calculationAmbientDCSCorrection(img, 0) == -1 &&
                    calculationAmbientDCSCorrection(img, INT_MAX) == -1;
         }},
        {"calibration_files_null",
         [] {
             double d = 0;
             return calibrationSaveDRNU_LUT_TestXY(nullptr) == -1 &&
                    calibrationSaveDRNU_LUT_TestYX(nullptr) == -1 &&
                    calibrationSaveDRNU_LUT_TestXY("/nonexistent/dir/x") == -1 &&
                    calibrationLinearRegresion(nullptr, &d) == -1 &&
                    calibrationLinearRegresion(&d, nullptr) == -1 &&
                    imageCorrectionLoad(nullptr) == 0;
         }},
        {"mean_images_null",
         [] {
             return calculateSaveGrayscaleImage(nullptr) == -1 &&
                    calculateLoadGrayscaleImage(nullptr) == -1 &&
                    calculateSaveFlimImage(nullptr) == -1 &&
                    calculateLoadFlimImage(nullptr) == -1 &&
                    calculationFlimMean(5, nullptr, 0) == 0;
         }},
        {"zip_null_and_bad",
         [] {
             void *buf = nullptr;
             size_t n = 0;
             const char *files[1] = {nullptr};
             zip_close(nullptr);
             return zip_open(nullptr, 0, 'r') == nullptr && zip_open("", 0, 'r') == nullptr &&
                    zip_open("a.zip", 10, 'w') == nullptr && zip_open("a.zip", 0, 'x') == nullptr &&
                    zip_entry_open(nullptr, "a") < 0 && zip_entry_close(nullptr) < 0 &&
                    zip_entry_write(nullptr, "a", 1) < 0 && zip_entry_fwrite(nullptr, "a") < 0 &&
                    zip_entry_read(nullptr, &buf, &n) < 0 && zip_entry_fread(nullptr, "a") < 0 &&
                    zip_total_entries(nullptr) < 0 && zip_create(nullptr, files, 1) < 0 &&
                    zip_create("b.zip", nullptr, 3) < 0 && zip_create("c.zip", files, 1) < 0;
         }},
        {"zip_entry_misuse",
         [] {
             struct zip_t *z = zip_open("w.zip", 6, 'w');
             if (!z) return false;
             void *buf = nullptr;
             size_t n = 0;
             const std::string longname(70000, 'n');
             const bool ok = zip_entry_write(z, "x", 1) < 0 &&  // no entry open
                             zip_entry_open(z, nullptr) < 0 && zip_entry_open(z, "") < 0 &&
                             zip_entry_open(z, longname.c_str()) < 0 &&
                             zip_entry_open(z, "a") == 0 && zip_entry_open(z, "b") < 0 &&
                             zip_entry_write(z, nullptr, 5) < 0 &&
                             zip_entry_read(z, &buf, &n) < 0 && zip_entry_fwrite(z, nullptr) < 0 &&
                             zip_entry_close(z) == 0 && zip_entry_close(z) < 0;
             zip_close(z);
             return ok;
         }},
        {"lens_3d_short_buffers",
         [] {
             // A real lens with buffers one pixel too short: refused, nothing written.
             vz_lens_param_t lens{};
             lens.cx = 1.5;
             lens.cy = 1.5;
             lens.fx = 4;
             lens.fy = 4;
             float dist[16], out[48], sentinel = -7.f;
             uint16_t mm[16];
             for (float &d : dist) d = 1.f;
             for (float &o : out) o = sentinel;
             const bool ok = vz_lens_rays(&lens, nullptr, 4, 4, out, 47) <= 0 &&
                             vz_lens_points(&lens, nullptr, out, 47, dist, 4, 4, 0) <= 0 &&
                             vz_lens_depth(&lens, nullptr, out, 15, dist, 4, 4) <= 0 &&
                             vz_lens_depth_mm(&lens, nullptr, mm, 15, dist, 4, 4) <= 0 &&
                             vz_lens_points(&lens, nullptr, out, 48, nullptr, 4, 4, 0) <= 0;
             for (float o : out)
                 if (o != sentinel) return false;
             return ok && vizor_frame_get_points(nullptr, out, 48, dist, 4, 4, 0) <= 0 &&
                    !epc_adapter_select(nullptr);
         }},
        {"epc_driver_null",
         [] {
             vizor_frame_info_t info{};
             vz_stream_frame_hdr_t hdr{};
             float dst[4];
             uint16_t src[4] = {};
             vz_lens_param_t lens{};
             return !epc_init(nullptr, nullptr) && !epc_frame_get_info(nullptr, nullptr, &hdr) &&
                    !epc_frame_get_info(nullptr, &info, nullptr) &&
                    epc_frame_decode(nullptr, dst, 4, 0, src, 4, &info) == -1 &&
                    !epc_lens_param_get(nullptr, nullptr, 320, 240) &&
                    !epc_lens_param_get(nullptr, &lens, 7, 240);
         }},
    };
    return rows;
}

// Seconds a row may take: the slowest calls wait out a command time-out.
constexpr unsigned kRowSeconds = 60;
constexpr size_t kParallel = 8;

// Every row's outcome, run once for the suite (sweep.h), by row name.
const std::map<std::string, vzt::Outcome> &outcomes() {
    static const vzt::TempCwd cwd;  // files the loaders and savers touch stay here
    static const std::map<std::string, vzt::Outcome> all = [] {
        std::vector<vzt::Row> rows = sweep_rows();
        rows.insert(rows.end(), failure_rows().begin(), failure_rows().end());
        const std::vector<vzt::Outcome> o = vzt::run_all(rows, kRowSeconds, kParallel);
        std::map<std::string, vzt::Outcome> m;
        for (size_t i = 0; i < rows.size(); ++i) m[rows[i].name] = o[i];
        return m;
    }();
    return all;
}

class Sweep : public ::testing::TestWithParam<vzt::Row> {};

TEST_P(Sweep, ReturnsInItsOwnProcess) {
    const vzt::Outcome o = outcomes().at(GetParam().name);
    EXPECT_EQ(o, vzt::Outcome::passed) << GetParam().name << " " << vzt::outcome_name(o);
}

std::string row_name(const ::testing::TestParamInfo<vzt::Row> &info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(All, Sweep, ::testing::ValuesIn(sweep_rows()), row_name);
INSTANTIATE_TEST_SUITE_P(FailureValues, Sweep, ::testing::ValuesIn(failure_rows()), row_name);

// Names of the functions in the export lists: every listed name except the
// data the public headers declare extern.
std::set<std::string> exported_functions() {
    const fs::path root = VZT_SOURCE_DIR;
    std::set<std::string> data, names;
    const std::regex ext(R"(VZ_API\s+extern\s+[^;]*?\b(\w+)\s*(\[[^\]]*\])*\s*;)");
    for (const auto &e : fs::directory_iterator(root / "include" / "vizor")) {
        const std::string text = vzt::read_file(e.path().string());
        for (std::sregex_iterator it(text.begin(), text.end(), ext), end; it != end; ++it)
            data.insert((*it)[1]);
    }
    for (const auto &dir : fs::directory_iterator(root / "src")) {
        if (!dir.is_directory()) continue;
        for (const auto &e : fs::directory_iterator(dir.path())) {
            const std::string file = e.path().filename().string();
            if (file.rfind("exports", 0) != 0 || e.path().extension() != ".txt") continue;
            std::istringstream in(vzt::read_file(e.path().string()));
            for (std::string line; std::getline(in, line);)
                if (!line.empty() && line[0] != '#' && !data.count(line)) names.insert(line);
        }
    }
    return names;
}

bool is_word_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Whether text holds name as a whole word.
bool names_word(const std::string &text, const std::string &name) {
    for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
        const size_t end = at + name.size();
        if ((at == 0 || !is_word_char(text[at - 1])) &&
            (end == text.size() || !is_word_char(text[end])))
            return true;
    }
    return false;
}

TEST(BoundaryTotal, EveryExportedFunctionHasARow) {
    const fs::path dir = fs::path(VZT_SOURCE_DIR) / "tests" / "boundary";
    std::string tables;
    for (const auto &e : fs::directory_iterator(dir)) tables += vzt::read_file(e.path().string());
    const std::set<std::string> names = exported_functions();
    ASSERT_GT(names.size(), 600u);
    for (const std::string &n : names)
        EXPECT_TRUE(names_word(tables, n)) << n << " is exported but no boundary row calls it";
}

}  // namespace
